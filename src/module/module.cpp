// PyInit_vexcam: one module per process, its registration and the two module functions.
#include <Python.h>

#include <cstdint>

#include "module/boundary.h"
#include "module/call_frame.h"
#include "module/camera_type.h"
#include "module/module_state.h"
#include "module/py_ref.h"
#include "module/raise.h"
#include "module/to_python.h"
#include "sdk/discovery.h"

namespace {

// A module function without parameters: the operation's outcome, converted.
template <auto Operation>
PyObject* module_function(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
    return guarded([]() -> PyObject* { return to_python(Operation()); });
}

// The method definition of a module function, from its description: its name and operation.
template <Name Function, auto Operation>
PyMethodDef function() {
    return {Function.text, module_function<Operation>, METH_NOARGS,
            Description<Owner::Module, Function>::doc.data()};
}

// Kept for the life of the process: the functions made from them point at them. scan_cameras
// builds its list after the SDK resource has been given back.
PyMethodDef init_sdk_def = function<"init_sdk", init_sdk>();
PyMethodDef scan_cameras_def = function<"scan_cameras", scan_cameras>();

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vexcam", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module's __all__, created empty when missing.
py::Ref module_all(PyObject* module) {
    py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return {};
        PyErr_Clear();
        all = py::Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0)
            return {};
        return all;
    }
    if (!PyList_Check(all.get())) {
        raise_cannot_convert(all.get(), "PyList");
        return {};
    }
    return all;
}

bool add_to_all(PyObject* module, PyObject* name) {
    py::Ref all = module_all(module);
    if (!all)
        return false;
    if (PyList_Append(all.get(), name) != 0) {
        raise(InternalFault{FaultKind::AllAppendFailed});
        return false;
    }
    return true;
}

bool register_class(PyObject* module) {
    PyObject* type = camera_type();
    if (type == nullptr) {
        py::Ref cause = py::Ref::steal(PyErr_GetRaisedException());
        PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class Camera");
        py::Ref error = py::Ref::steal(PyErr_GetRaisedException());
        PyException_SetCause(error.get(), cause.release());
        PyErr_SetRaisedException(error.release());
        return false;
    }
    py::Ref name = py::Ref::steal(PyUnicode_FromString("Camera"));
    return name && add_to_all(module, name.get()) &&
           PyObject_SetAttr(module, name.get(), type) == 0;
}

bool register_function(PyObject* module, PyMethodDef* def) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr)
        return false;
    py::Ref module_name_obj = py::Ref::steal(PyUnicode_FromString(module_name));
    if (!module_name_obj)
        return false;
    py::Ref function = py::Ref::steal(PyCMethod_New(def, module, module_name_obj.get(), nullptr));
    if (!function)
        return false;
    py::Ref name = py::Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    return name && add_to_all(module, name.get()) &&
           PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1)
        return nullptr;
    std::int64_t expected = -1;
    if (!module_state.owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "vexcam does not yet support sub-interpreters: it can be imported in one "
                        "interpreter per process only, see "
                        "https://github.com/vexcam/vexcam/issues/2");
        return nullptr;
    }
    if (module_state.module != nullptr)
        return Py_NewRef(module_state.module);
    py::Ref module = py::Ref::steal(PyModule_Create2(&module_def, 1013));
    if (!module)
        return nullptr;
    if (!register_class(module.get()) || !register_function(module.get(), &init_sdk_def) ||
        !register_function(module.get(), &scan_cameras_def))
        return nullptr;
    if (module_state.module == nullptr)
        module_state.module = module.release();
    return Py_NewRef(module_state.module);
}

} // namespace

PyMODINIT_FUNC PyInit_vexcam(void);

PyMODINIT_FUNC PyInit_vexcam(void) { return guarded(init_module); }
