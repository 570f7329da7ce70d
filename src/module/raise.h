// The one place where failure values become Python exceptions.
#pragma once

#include <Python.h>

#include "errors/result.h"

/// Sets the exception for `failure`; returns null so callers can `return raise(...)`.
PyObject* raise(const Failure& failure);

/// Raises PanicException with `text`; returns null.
PyObject* raise_internal_fault(const char* text);

/// For an interpreter call that cannot fail in normal operation and did: prints the pending
/// error and raises the "Python API call failed" fault.
PyObject* raise_api_failure();

/// Current Python error as "Type: message" text, clearing it; for fault texts.
std::string take_error_description();
