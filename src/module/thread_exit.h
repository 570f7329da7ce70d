// Threads that the interpreter ends while it shuts down.
//
// Once finalization has begun, CPython 3.12 and 3.13 end any other thread that asks for the GIL
// back, with pthread_exit on glibc. That is a forced unwind: it runs the clean-ups of every C++
// frame between the interpreter and the thread's start, and reaching a noexcept frame (the call
// boundary, a destructor) it calls std::terminate. The process then aborts before the
// interpreter has flushed its files.
//
// We park such a thread instead, as CPython 3.14 does on its own: the thread sleeps until the
// process ends, inside the handler that caught the unwind, so no frame of ours is left half-way
// and nothing on that path touches a Python object. Everything the thread held (its references,
// a camera record) stays as it was; the process is about to end.
//
// Elsewhere (Windows, macOS, musl) ending a thread does not unwind C++ frames, so there is
// nothing to catch and these helpers reduce to the call itself.
#pragma once

#include <chrono>
#include <thread>
#include <utility>

#if defined(__GLIBC__) && defined(__GLIBCXX__)
#include <cxxabi.h>
#define VEXCAM_FORCED_UNWIND 1
#endif

/// Never returns: the thread sleeps until the process ends.
[[noreturn]] inline void park_thread() noexcept {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(24));
}

/// Runs `body`; if the interpreter ends the thread inside it, parks the thread instead.
/// Use it where a call into the interpreter may take the GIL back with frames of ours below.
/// (The forced unwind has no C++ object behind it, and UBSan would report the handler's
/// reference to it as bound to null.)
template <class Body>
#if defined(VEXCAM_FORCED_UNWIND)
__attribute__((no_sanitize("undefined")))
#endif
decltype(auto)
parking_on_exit(Body&& body) {
#if defined(VEXCAM_FORCED_UNWIND)
    try {
        return std::forward<Body>(body)();
    } catch (abi::__forced_unwind&) {
        park_thread();
    }
#else
    return std::forward<Body>(body)();
#endif
}
