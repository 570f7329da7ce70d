// NumPy's C array API, through the table in its "_ARRAY_API" capsule, looked up at run time.
// We carry no NumPy headers: the few entries, constants and layouts we use are declared here,
// and they are the same in NumPy 1.x and 2.x.
#pragma once

#include <Python.h>

#include "errors/result.h"

namespace numpy {

using npy_intp = Py_ssize_t;

inline constexpr int kTypeUByte = 2;
inline constexpr int kTypeUShort = 4;
inline constexpr int kArrayWriteable = 0x0400;

/// The entries of the table that frames use.
struct Api {
    PyTypeObject* array_type;
    PyObject* (*descr_from_type)(int type_number);
    /// Steals `descr`, also on failure.
    PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd,
                                const npy_intp* dims, const npy_intp* strides, void* data,
                                int flags, PyObject* obj);
    /// Steals `base`, also on failure.
    int (*set_base_object)(PyObject* array, PyObject* base);
};

/// With the GIL held. The first successful call imports NumPy and keeps the table for good; a
/// failure is not remembered, so the next call tries again.
Result<Api> api();

} // namespace numpy
