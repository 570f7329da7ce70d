// guarded(): no C++ exception may unwind into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "module/raise.h"
#include "module/thread_exit.h"

// What lands in these handlers is our own bug (or an allocation that failed) and becomes a
// Python exception instead of a crash. The interpreter ending the thread during shutdown
// (Python code run from here took the GIL back) parks it: see thread_exit.h.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return parking_on_exit(body);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_internal_fault(e.what());
    } catch (...) {
        return raise_internal_fault("vexcam internal error");
    }
}
