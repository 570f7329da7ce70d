// Building the module's heap types from a name, a documentation text and slots.
#pragma once

#include <Python.h>

/// A new type "builtins.<class_name>" with Py_TPFLAGS_DEFAULT only; the closing empty slot is
/// added here. Null with the interpreter's exception on failure.
PyObject* make_heap_type(const char* class_name, const char* doc, int basic_size,
                         destructor dealloc, newfunc tp_new, PyMethodDef* methods);
