// A hand-written extension over the same SDK calls as vexcam, with nothing between Python and
// the SDK but a minimal argument parse: what one call costs when the binding adds nothing.
// Its frame methods are the frame floor: the SDK fills a buffer touched long ago and one
// memcpy moves the samples into another touched buffer, so no allocation or page fault is
// in the measurement. It also lets the GIL benchmark hold an SDK call for a while.
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "sdk/vendor_api.h"

// The simulator's control plane, exported by the simulated libvexcam.so only. Weak, so that the
// module also loads over an SDK without it (the do-nothing one); hold_call then refuses.
extern "C" {
[[gnu::weak]] std::int32_t vxsim_function_count(void);
[[gnu::weak]] const char* vxsim_function_name(std::int32_t fn);
[[gnu::weak]] std::int32_t vxsim_block(std::int32_t fn);
[[gnu::weak]] std::int32_t vxsim_unblock(std::int32_t fn);
}

namespace {

struct HandCamera {
    PyObject_HEAD
    CameraHandle handle;
    // Touched once when grown, then reused by every floor call.
    std::vector<unsigned char>* sdk_buffer;
    std::vector<unsigned char>* samples;
};

PyObject* failed(std::uint32_t rc) {
    PyErr_Format(PyExc_RuntimeError, "Operation failed with error code: %u", rc);
    return nullptr;
}

// Binds up to four parameters from a vector call; false with TypeError set.
bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* const* names,
          Py_ssize_t count, PyObject** slots) {
    if (nargs > count) {
        PyErr_SetString(PyExc_TypeError, "too many positional arguments");
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i)
        slots[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < count && PyUnicode_CompareWithASCIIString(name, names[i]) != 0)
            ++i;
        if (i == count || slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "unexpected or repeated keyword argument '%S'", name);
            return false;
        }
        slots[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (slots[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "missing argument '%s'", names[i]);
            return false;
        }
    }
    return true;
}

bool as_u32(PyObject* obj, std::uint32_t* out) {
    const unsigned long value = PyLong_AsUnsignedLong(obj);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred())
        return false;
    if (value > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "out of range");
        return false;
    }
    *out = static_cast<std::uint32_t>(value);
    return true;
}

bool as_double(PyObject* obj, double* out) {
    *out = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    return !(*out == -1.0 && PyErr_Occurred());
}

HandCamera* camera_of(PyObject* self) { return reinterpret_cast<HandCamera*>(self); }

PyObject* hand_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"id", nullptr};
    const char* id = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s", const_cast<char**>(keywords), &id))
        return nullptr;
    CameraHandle handle = OpenVEXCAM(id);
    if (handle == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "cannot open camera %s", id);
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        CloseVEXCAM(handle);
        return nullptr;
    }
    camera_of(self)->handle = handle;
    camera_of(self)->sdk_buffer = new std::vector<unsigned char>();
    camera_of(self)->samples = new std::vector<unsigned char>();
    return self;
}

void hand_dealloc(PyObject* self) {
    HandCamera* camera = camera_of(self);
    if (camera->handle != nullptr)
        CloseVEXCAM(camera->handle);
    delete camera->sdk_buffer;
    delete camera->samples;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* hand_close(PyObject* self, PyObject*) {
    HandCamera* camera = camera_of(self);
    if (camera->handle != nullptr)
        CloseVEXCAM(std::exchange(camera->handle, nullptr));
    Py_RETURN_NONE;
}

PyObject* hand_init(PyObject* self, PyObject*) {
    if (std::uint32_t rc = InitVEXCAM(camera_of(self)->handle); rc != 0)
        return failed(rc);
    Py_RETURN_NONE;
}

PyObject* hand_set_gain(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static const char* const names[] = {"gain"};
    PyObject* slots[1];
    double gain = 0.0;
    if (!bind(args, nargs, kwnames, names, 1, slots) || !as_double(slots[0], &gain))
        return nullptr;
    if (std::uint32_t rc = SetVEXCAMParam(camera_of(self)->handle, sdk::kControlGain, gain))
        return failed(rc);
    Py_RETURN_NONE;
}

PyObject* hand_set_exposure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    static const char* const names[] = {"us"};
    PyObject* slots[1];
    std::uint32_t us = 0;
    if (!bind(args, nargs, kwnames, names, 1, slots) || !as_u32(slots[0], &us))
        return nullptr;
    if (std::uint32_t rc =
            SetVEXCAMParam(camera_of(self)->handle, sdk::kControlExposure, static_cast<double>(us)))
        return failed(rc);
    Py_RETURN_NONE;
}

PyObject* hand_set_resolution(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static const char* const names[] = {"x", "y", "width", "height"};
    PyObject* slots[4];
    std::uint32_t v[4] = {};
    if (!bind(args, nargs, kwnames, names, 4, slots))
        return nullptr;
    for (int i = 0; i < 4; ++i)
        if (!as_u32(slots[i], &v[i]))
            return nullptr;
    if (std::uint32_t rc = SetVEXCAMResolution(camera_of(self)->handle, v[0], v[1], v[2], v[3]))
        return failed(rc);
    Py_RETURN_NONE;
}

PyObject* hand_get_param(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static const char* const names[] = {"control_id"};
    PyObject* slots[1];
    std::uint32_t control = 0;
    if (!bind(args, nargs, kwnames, names, 1, slots) || !as_u32(slots[0], &control))
        return nullptr;
    return PyFloat_FromDouble(GetVEXCAMParam(camera_of(self)->handle, control));
}

PyObject* hand_is_control_available(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    static const char* const names[] = {"control_id"};
    PyObject* slots[1];
    std::uint32_t control = 0;
    if (!bind(args, nargs, kwnames, names, 1, slots) || !as_u32(slots[0], &control))
        return nullptr;
    return PyBool_FromLong(IsVEXCAMControlAvailable(camera_of(self)->handle, control) == 0);
}

// Grows a buffer and touches every page of it, once.
unsigned char* touched(std::vector<unsigned char>& buffer, std::size_t size) {
    if (buffer.size() < size)
        buffer.assign(size, 0);
    return buffer.data();
}

// The floor of a frame read: the same SDK calls into an old buffer, then one memcpy.
PyObject* fill_and_copy(PyObject* self, bool expose) {
    HandCamera* camera = camera_of(self);
    if (expose) {
        if (std::uint32_t rc = ExpVEXCAMSingleFrame(camera->handle); rc != 0)
            return failed(rc);
    }
    const std::uint32_t length = GetVEXCAMMemLength(camera->handle);
    if (length == 0)
        return failed(0);
    unsigned char* sdk_buffer = touched(*camera->sdk_buffer, length);
    std::uint32_t width = 0, height = 0, bits = 0, channels = 0;
    if (std::uint32_t rc =
            GetVEXCAMSingleFrame(camera->handle, &width, &height, &bits, &channels, sdk_buffer))
        return failed(rc);
    std::size_t bytes = std::size_t{width} * height * (bits > 8 ? 2 : 1);
    if (bytes > length)
        bytes = length;
    std::memcpy(touched(*camera->samples, bytes), sdk_buffer, bytes);
    return PyLong_FromSize_t(bytes);
}

PyObject* hand_read_floor(PyObject* self, PyObject*) { return fill_and_copy(self, false); }
PyObject* hand_capture_floor(PyObject* self, PyObject*) { return fill_and_copy(self, true); }

// hold_call(name, ms): blocks the SDK function `name` now and lifts the block `ms` later from
// a native thread, so a GIL-holding method can sit inside the SDK while no Python runs.
PyObject* module_hold_call(PyObject*, PyObject* args) {
    const char* name = nullptr;
    unsigned int ms = 0;
    if (!PyArg_ParseTuple(args, "sI", &name, &ms))
        return nullptr;
    if (vxsim_function_count == nullptr || vxsim_function_name == nullptr ||
        vxsim_block == nullptr || vxsim_unblock == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the loaded SDK is not the simulator");
        return nullptr;
    }
    std::int32_t fn = 0;
    const std::int32_t count = vxsim_function_count();
    while (fn < count && std::string_view(vxsim_function_name(fn)) != name)
        ++fn;
    if (fn == count) {
        PyErr_Format(PyExc_ValueError, "unknown SDK function: %s", name);
        return nullptr;
    }
    vxsim_block(fn);
    std::thread([fn, ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        vxsim_unblock(fn);
    }).detach();
    Py_RETURN_NONE;
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef hand_methods[] = {
    {"init", as_cfunction(hand_init), METH_NOARGS, nullptr},
    {"set_gain", as_cfunction(hand_set_gain), kFastKw, nullptr},
    {"set_exposure", as_cfunction(hand_set_exposure), kFastKw, nullptr},
    {"set_resolution", as_cfunction(hand_set_resolution), kFastKw, nullptr},
    {"get_param", as_cfunction(hand_get_param), kFastKw, nullptr},
    {"is_control_available", as_cfunction(hand_is_control_available), kFastKw, nullptr},
    {"read_floor", as_cfunction(hand_read_floor), METH_NOARGS, nullptr},
    {"capture_floor", as_cfunction(hand_capture_floor), METH_NOARGS, nullptr},
    {"close", as_cfunction(hand_close), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hand_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(hand_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(hand_dealloc)},
    {Py_tp_methods, hand_methods},
    {0, nullptr},
};

PyType_Spec hand_spec = {"_bench_handwritten.Camera", sizeof(HandCamera), 0, Py_TPFLAGS_DEFAULT,
                         hand_slots};

PyMethodDef module_methods[] = {
    {"hold_call", module_hold_call, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_bench_handwritten",
                          nullptr,
                          -1,
                          module_methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

} // namespace

PyMODINIT_FUNC PyInit__bench_handwritten(void);

PyMODINIT_FUNC PyInit__bench_handwritten(void) {
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr)
        return nullptr;
    PyObject* type = PyType_FromSpec(&hand_spec);
    if (type == nullptr || PyModule_AddObject(module, "Camera", type) != 0) {
        Py_XDECREF(type);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
