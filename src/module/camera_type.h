// The Camera type: its object layout, method table and type cell.
#pragma once

#include <Python.h>

/// The Camera type, created on first use and kept; null with the interpreter's exception if
/// it cannot be created.
PyObject* camera_type();
