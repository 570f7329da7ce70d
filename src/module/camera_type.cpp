// Camera: slots and methods. Each method binds its arguments, takes shared access to self,
// runs one operation on the CameraCore and converts the outcome.
#include "module/camera_type.h"

#include <iterator>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "camera/acquisition.h"
#include "camera/camera_core.h"
#include "camera/settings.h"
#include "module/boundary.h"
#include "module/call_frame.h"
#include "module/frame_array.h"
#include "module/gil.h"
#include "module/heap_type.h"
#include "module/module_state.h"
#include "module/py_ref.h"
#include "module/raise.h"

namespace {

struct CameraObject {
    PyObject_HEAD
    CoreRef core;
    // Calls currently inside a method of this object. Changed only under the GIL.
    Py_ssize_t access;
};

// Shared access to self for one call; nothing takes exclusive access, so it is never refused.
class SelfAccess {
public:
    explicit SelfAccess(CameraObject* camera) noexcept : camera_(camera) { ++camera_->access; }
    ~SelfAccess() { --camera_->access; }
    SelfAccess(const SelfAccess&) = delete;
    SelfAccess& operator=(const SelfAccess&) = delete;

private:
    CameraObject* camera_;
};

// A Camera made without our constructor (a __new__ replaced from Python) is a closed camera.
// Out of line, so that the usual call stays without a stack frame.
#if defined(_MSC_VER)
__declspec(noinline)
#else
__attribute__((noinline, cold))
#endif
    void adopt_unopened(CameraObject* camera) {
    camera->core = CameraCore::unopened();
}

CameraObject* as_camera(PyObject* self) {
    PyObject* type = module_state.camera_type;
    if (type == nullptr && (type = camera_type()) == nullptr) {
        PyErr_Print();
        raise_internal_fault("failed to create type object for Camera");
        return nullptr;
    }
    auto* camera_class = reinterpret_cast<PyTypeObject*>(type);
    if (Py_TYPE(self) != camera_class && !PyType_IsSubtype(Py_TYPE(self), camera_class)) {
        raise_cannot_convert(self, "Camera");
        return nullptr;
    }
    auto* camera = reinterpret_cast<CameraObject*>(self);
    if (!camera->core) [[unlikely]]
        adopt_unopened(camera);
    return camera;
}

// Success values to Python objects.
PyObject* to_python(std::monostate) { Py_RETURN_NONE; }
PyObject* to_python(bool value) { return Py_NewRef(value ? Py_True : Py_False); }
PyObject* to_python(double value) {
    PyObject* result = PyFloat_FromDouble(value);
    return result ? result : raise_api_failure();
}
PyObject* to_python(std::string& text) {
    PyObject* result =
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    return result ? result : raise_api_failure();
}
PyObject* to_python(FrameBuffer& frame) {
    Result<py::Ref> array = frame_to_array(std::move(frame));
    return array.ok() ? array.value().release() : raise(array.failure());
}

template <class T>
PyObject* to_python(Result<T>&& result) {
    return result.ok() ? to_python(result.value()) : raise(result.failure());
}

template <class... Names>
consteval CallableSpec method_spec(const char* function, Names... names) {
    return callable_spec(function, "Camera",
                         std::array<std::string_view, sizeof...(Names)>{names...});
}

// The native parameters of an operation `Outcome operation(const CameraCore&, Params...)`, as
// a tuple: what the arguments are converted to is read from the operation itself.
template <class Operation>
struct ParametersOf;
template <class Outcome, class Target, class... Params>
struct ParametersOf<Outcome (*)(Target, Params...)> {
    using Values = std::tuple<Params...>;
};

// Methods with parameters: vector call, binding into a fixed array without tuple or dict.
template <const CallableSpec& Callable, auto Operation>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    using Values = typename ParametersOf<decltype(Operation)>::Values;
    constexpr std::size_t kCount = std::tuple_size_v<Values>;
    static_assert(kCount == static_cast<std::size_t>(Callable.count),
                  "one parameter name per parameter of the operation");
    return guarded([&]() -> PyObject* {
        Slots<kCount> slots;
        if (!bind_arguments(Callable, args, nargs, kwnames, slots.data()))
            return nullptr;
        CameraObject* camera = as_camera(self);
        if (camera == nullptr)
            return nullptr;
        SelfAccess access(camera);
        Values values{};
        // In parameter order; the first failure stops the rest.
        const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return (convert_argument(slots[I], Callable.name(I), std::get<I>(values)) && ...);
        }
        (std::make_index_sequence<kCount>{});
        if (!converted)
            return nullptr;
        return to_python(std::apply(
            [&](auto... native) { return Operation(*camera->core, native...); }, values));
    });
}

template <auto Operation>
PyObject* noarg_method(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        CameraObject* camera = as_camera(self);
        if (camera == nullptr)
            return nullptr;
        SelfAccess access(camera);
        return to_python(Operation(*camera->core));
    });
}

// The four methods that wait on the camera run their SDK work without the GIL, on the handle
// the camera has as they begin, through a reference of their own so that the record outlives
// a close() or a dealloc meanwhile. A close() that came meanwhile is completed by the last of
// them, once it holds the GIL again.
template <auto Operation>
PyObject* waiting_method(PyObject* self, PyObject*) noexcept {
    using Outcome = decltype(Operation(CameraHandle{}));
    return guarded([&]() -> PyObject* {
        CameraObject* camera = as_camera(self);
        if (camera == nullptr)
            return nullptr;
        SelfAccess access(camera);
        CameraCore& core = *camera->core;
        // NumPy is ready before the SDK delivers a frame that would otherwise be lost.
        if constexpr (std::is_same_v<Outcome, Result<FrameBuffer>>) {
            if (core.is_open()) {
                if (Status ready = prepare_frame_arrays(); !ready.ok())
                    return raise(ready.failure());
            }
        }
        CoreRef pin = camera->core.clone();
        const CameraHandle handle = core.handle();
        Outcome outcome = [&] {
            GilRelease unlocked;           // declared first, so destroyed last
            CoreRef held = std::move(pin); // destroyed first: dropped before the GIL returns
            return Operation(handle);
        }();
        core.finish_read(); // `self` is the caller's, so its record is still there
        return to_python(std::move(outcome));
    });
}

constexpr CallableSpec kNewSpec = method_spec("__new__", "id");

PyObject* camera_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        Slots<1> slots;
        if (!bind_arguments(kNewSpec, args, kwargs, slots.data()))
            return nullptr;
        std::string_view id;
        if (!convert_argument(slots[0], kNewSpec.name(0), id))
            return nullptr;
        Result<CoreRef> core = CameraCore::open(id);
        if (!core.ok())
            return raise(core.failure());
        allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
        PyObject* self = alloc(type, 0);
        if (self == nullptr)
            return nullptr; // `core` goes here, closing the camera it just opened
        auto* camera = reinterpret_cast<CameraObject*>(self);
        new (&camera->core) CoreRef(std::move(core.value()));
        camera->access = 0;
        return self;
    });
}

void camera_dealloc(PyObject* self) noexcept {
    auto* camera = reinterpret_cast<CameraObject*>(self);
    camera->core.~CoreRef(); // the last holder closes a handle still open
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type); // heap type: every instance holds a reference to it
}

constexpr CallableSpec kSetStreamMode = method_spec("set_stream_mode", "mode");
constexpr CallableSpec kSetExposure = method_spec("set_exposure", "us");
constexpr CallableSpec kSetGain = method_spec("set_gain", "gain");
constexpr CallableSpec kSetOffset = method_spec("set_offset", "offset");
constexpr CallableSpec kSetResolution = method_spec("set_resolution", "x", "y", "width", "height");
constexpr CallableSpec kSetBinMode = method_spec("set_bin_mode", "bin_x", "bin_y");
constexpr CallableSpec kIsControlAvailable = method_spec("is_control_available", "control_id");
constexpr CallableSpec kSetParam = method_spec("set_param", "control_id", "value");
constexpr CallableSpec kGetParam = method_spec("get_param", "control_id");

template <auto Method>
PyCFunction as_cfunction() {
    // Through void(*)() so that -Wcast-function-type accepts the other signatures.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

constexpr int kNoArgs = METH_NOARGS;
constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

// Order matters: it is the order of the type's dictionary.
PyMethodDef camera_methods[] = {
    {"open", as_cfunction<noarg_method<open_camera>>(), kNoArgs, "open($self)\n--\n\n"},
    {"get_firmware_version", as_cfunction<noarg_method<firmware_version>>(), kNoArgs,
     "get_firmware_version($self)\n--\n\n"},
    {"init", as_cfunction<noarg_method<init_camera>>(), kNoArgs, "init($self)\n--\n\n"},
    {"set_stream_mode", as_cfunction<fast_method<kSetStreamMode, set_stream_mode>>(), kFastCall,
     "set_stream_mode($self, mode)\n--\n\n"},
    {"set_exposure", as_cfunction<fast_method<kSetExposure, set_exposure>>(), kFastCall,
     "set_exposure($self, us)\n--\n\n"},
    {"set_gain", as_cfunction<fast_method<kSetGain, set_gain>>(), kFastCall,
     "set_gain($self, gain)\n--\n\n"},
    {"set_offset", as_cfunction<fast_method<kSetOffset, set_offset>>(), kFastCall,
     "set_offset($self, offset)\n--\n\n"},
    {"set_resolution", as_cfunction<fast_method<kSetResolution, set_resolution>>(), kFastCall,
     "set_resolution($self, x, y, width, height)\n--\n\n"},
    {"set_bin_mode", as_cfunction<fast_method<kSetBinMode, set_bin_mode>>(), kFastCall,
     "set_bin_mode($self, bin_x, bin_y)\n--\n\n"},
    {"exp_single_frame", as_cfunction<waiting_method<expose_single_frame>>(), kNoArgs,
     "exp_single_frame($self)\n--\n\n"},
    {"get_single_frame", as_cfunction<waiting_method<get_single_frame>>(), kNoArgs,
     "get_single_frame($self)\n--\n\n"},
    {"capture_single_frame", as_cfunction<waiting_method<capture_single_frame>>(), kNoArgs,
     "capture_single_frame($self)\n--\n\n"},
    {"begin_live", as_cfunction<noarg_method<begin_live>>(), kNoArgs, "begin_live($self)\n--\n\n"},
    {"get_live_frame", as_cfunction<waiting_method<get_live_frame>>(), kNoArgs,
     "get_live_frame($self)\n--\n\n"},
    {"stop_live", as_cfunction<noarg_method<stop_live>>(), kNoArgs, "stop_live($self)\n--\n\n"},
    {"is_control_available", as_cfunction<fast_method<kIsControlAvailable, is_control_available>>(),
     kFastCall, "is_control_available($self, control_id)\n--\n\n"},
    {"set_param", as_cfunction<fast_method<kSetParam, set_param>>(), kFastCall,
     "set_param($self, control_id, value)\n--\n\n"},
    {"get_param", as_cfunction<fast_method<kGetParam, get_param>>(), kFastCall,
     "get_param($self, control_id)\n--\n\n"},
    {"close", as_cfunction<noarg_method<close_camera>>(), kNoArgs, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyObject* camera_type() {
    if (module_state.camera_type == nullptr) {
        PyObject* type =
            make_heap_type("Camera", "Camera(id)\n--\n\n", static_cast<int>(sizeof(CameraObject)),
                           camera_dealloc, camera_new, camera_methods);
        if (type == nullptr)
            return nullptr;
        module_state.camera_type = type;
    }
    return module_state.camera_type;
}
