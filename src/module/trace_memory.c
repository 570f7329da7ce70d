/* tracemalloc's reporting calls, compiled as C: see trace_memory.h. */
#include <Python.h>

#include <stddef.h>
#include <stdint.h>

void vexcam_trace_alloc(unsigned int domain, uintptr_t address, size_t size);
void vexcam_trace_free(unsigned int domain, uintptr_t address);

void vexcam_trace_alloc(unsigned int domain, uintptr_t address, size_t size) {
    (void)PyTraceMalloc_Track(domain, address, size);
}

void vexcam_trace_free(unsigned int domain, uintptr_t address) {
    (void)PyTraceMalloc_Untrack(domain, address);
}
