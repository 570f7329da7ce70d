// Callable descriptions, argument binding and conversion for every Python entry point.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

/// A name written as a template argument: a callable's, or one of its parameters'.
template <std::size_t N>
struct Name {
    constexpr Name(const char (&name)[N]) {
        for (std::size_t i = 0; i < N; ++i)
            text[i] = name[i];
    }
    char text[N]{};
};

/// The parameters of one callable; every parameter is positional-or-keyword and required.
struct CallableSpec {
    const char* function;
    const char* class_name;   // null for a module function
    const char* const* names; // `count` parameter names, in order
    PyObject** interned;      // the names as interned str objects, each made on first use
    Py_ssize_t count;

    const char* name(Py_ssize_t i) const { return names[i]; }
};

/// Whose callable it is, which decides its text signature: a module function "f(a)", a Camera
/// method "f($self, a)", or the constructor, whose signature is the class's, "Camera(a)".
enum class Owner { Module, Method, Class };

/// One callable as Python sees it, described once: its name and its parameter names. The
/// binding table and the docstring (the text signature over an empty body) are made from them;
/// what the arguments are converted to comes from the operation that the callable runs.
template <Owner Of, Name Function, Name... Params>
struct Description {
    static constexpr Py_ssize_t count = sizeof...(Params);
    static constexpr const char* names[sizeof...(Params) + 1] = {Params.text..., nullptr};
    // Keyword names written in Python source are interned too, so most keywords then match by
    // identity. Filled under the GIL, never emptied.
    static inline PyObject* interned[sizeof...(Params) + 1] = {};
    static constexpr CallableSpec binding{Of == Owner::Class ? "__new__" : Function.text,
                                          Of == Owner::Module ? nullptr : "Camera", names, interned,
                                          count};

    /// Writes "name(a, b)\n--\n\n" ("name($self, a, b)..." for a method) to `out` unless it is
    /// null; returns its length.
    static constexpr std::size_t write_doc(char* out) {
        std::size_t n = 0;
        auto put = [&](std::string_view text) {
            for (char c : text) {
                if (out != nullptr)
                    out[n] = c;
                ++n;
            }
        };
        put(Function.text);
        put(Of == Owner::Method ? "($self" : "(");
        bool first = Of != Owner::Method;
        ((put(first ? "" : ", "), put(Params.text), first = false), ...);
        put(")\n--\n\n");
        return n;
    }
    static constexpr auto doc = [] {
        std::array<char, write_doc(nullptr) + 1> text{};
        write_doc(text.data());
        return text;
    }();
};

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
