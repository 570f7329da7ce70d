// The one place where failure values become Python exceptions.
#pragma once

#include <Python.h>

#include "errors/result.h"

/// Sets the exception for `failure`; returns null so callers can `return raise(...)`.
PyObject* raise(const Failure& failure);

/// Raises PanicException with `text`; returns null. For the call boundary, whose C++ exception
/// brings its own text; failure values go through raise().
PyObject* raise_internal_fault(const char* text);

/// For an interpreter call that cannot fail in normal operation and did: raise() of the
/// ApiCallFailed fault, which prints the pending error first.
PyObject* raise_api_failure();

/// Current Python error as "Type: message" text, clearing it; for fault texts.
std::string take_error_description();
