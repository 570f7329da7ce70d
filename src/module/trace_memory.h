// Reporting frame memory to tracemalloc. CPython 3.12's header declares the two calls without C
// linkage when read as C++, so they are reached through a C file of our own.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
/// NumPy's own domain for the data of its arrays: a trace counts frames with the arrays.
inline constexpr unsigned int kArrayDataTraceDomain = 389047;

/// Both do nothing unless tracemalloc is tracing; any thread, with or without the GIL.
void vexcam_trace_alloc(unsigned int domain, std::uintptr_t address, std::size_t size);
void vexcam_trace_free(unsigned int domain, std::uintptr_t address);
}
