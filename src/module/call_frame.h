// Argument binding and conversion for every Python entry point.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

/// Every parameter name of the module, each once, in an order that makes each callable's
/// parameter list a run of consecutive names.
inline constexpr const char* kParameterNames[] = {
    "id",    "mode",   "us",    "gain",  "offset",     "x",     "y",
    "width", "height", "bin_x", "bin_y", "control_id", "value",
};
inline constexpr std::size_t kParameterNameCount = std::size(kParameterNames);

/// The parameters of one callable; every parameter is positional-or-keyword and required.
struct CallableSpec {
    const char* function;
    const char* class_name;
    std::size_t first; // the parameters are kParameterNames[first, first + count)
    Py_ssize_t count;

    const char* name(Py_ssize_t i) const {
        return kParameterNames[first + static_cast<std::size_t>(i)];
    }
};

/// The parameter list of a callable whose parameters are `names`, in that order. Names that are
/// not a run of kParameterNames stop the build.
template <std::size_t N>
consteval CallableSpec callable_spec(const char* function, const char* class_name,
                                     const std::array<std::string_view, N>& names) {
    std::size_t first = 0;
    while (first < kParameterNameCount && kParameterNames[first] != names[0])
        ++first;
    for (std::size_t i = 0; i < N; ++i) {
        if (first + i >= kParameterNameCount || kParameterNames[first + i] != names[i])
            throw "parameter names must be a run of kParameterNames";
    }
    return CallableSpec{function, class_name, first, static_cast<Py_ssize_t>(N)};
}

/// One slot per parameter, filled with borrowed references.
template <std::size_t N>
using Slots = std::array<PyObject*, N>;

/// Vector-call binding with keywords or a wrong count; see bind_arguments.
bool bind_arguments_general(const CallableSpec& callable, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PyObject** slots);

/// Vector-call binding. On failure sets the TypeError and returns false.
inline bool bind_arguments(const CallableSpec& callable, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** slots) {
    // The usual call passes every argument by position: nothing to look up.
    if (kwnames == nullptr && nargs == callable.count) {
        for (Py_ssize_t i = 0; i < nargs; ++i)
            slots[i] = args[i];
        return true;
    }
    return bind_arguments_general(callable, args, nargs, kwnames, slots);
}

/// Tuple-and-dict binding, for the constructor.
bool bind_arguments(const CallableSpec& callable, PyObject* args, PyObject* kwargs,
                    PyObject** slots);

// Conversions: false with the exception set (already rewritten by argument_error).
bool convert_u32_general(PyObject* obj, const char* name, std::uint32_t& out);
bool convert_double_general(PyObject* obj, const char* name, double& out);

inline bool convert_argument(PyObject* obj, const char* name, std::uint32_t& out) {
    // A small non-negative int, the usual argument, is read in place; every other value takes
    // the interpreter's path so that its errors are the interpreter's own.
#if PY_VERSION_HEX < 0x030F0000
    // PyUnstable_ calls may change in any feature release: the fast path is compiled only for
    // the releases that have these two (3.12 to 3.14); a later one takes the general path.
    if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        const Py_ssize_t small = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
        if (small >= 0 && static_cast<std::uint64_t>(small) <= 0xFFFFFFFFull) {
            out = static_cast<std::uint32_t>(small);
            return true;
        }
    }
#endif
    return convert_u32_general(obj, name, out);
}

inline bool convert_argument(PyObject* obj, const char* name, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    return convert_double_general(obj, name, out);
}

bool convert_argument(PyObject* obj, const char* name, std::uint8_t& out);
/// A view of the str's UTF-8 bytes, valid while `obj` lives.
bool convert_argument(PyObject* obj, const char* name, std::string_view& out);

/// "'{type}' object cannot be converted to '{target}'" as a TypeError; returns null.
PyObject* raise_cannot_convert(PyObject* obj, const char* target);
