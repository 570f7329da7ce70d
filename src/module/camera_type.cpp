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
#include "camera/frame_array.h"
#include "camera/settings.h"
#include "module/boundary.h"
#include "module/call_frame.h"
#include "module/gil.h"
#include "module/heap_type.h"
#include "module/py_ref.h"
#include "module/raise.h"

namespace {

struct CameraObject {
    PyObject_HEAD
    CoreRef core;
    // Calls currently inside a method of this object. Changed only under the GIL.
    Py_ssize_t access;
};

PyObject* camera_type_cell = nullptr;

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

CameraObject* as_camera(PyObject* self) {
    PyObject* type = camera_type_cell;
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
    // Made without our constructor (a __new__ replaced from Python): a closed camera.
    if (!camera->core)
        camera->core = CameraCore::unopened();
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
    PyObject* result = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
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

// One table of interned names per parameter list; the tables are filled under the GIL.
template <const auto& Names>
PyObject* interned_names[std::size(Names)] = {};

template <const auto& Names>
constexpr CallableSpec method_spec(const char* function) {
    return CallableSpec{function, "Camera", Names, static_cast<Py_ssize_t>(std::size(Names)),
                        interned_names<Names>};
}

// Methods with parameters: vector call, binding into a fixed array without tuple or dict.
template <const CallableSpec& Callable, auto Operation, class... Params>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Slots<sizeof...(Params)> slots;
        if (!bind_arguments(Callable, args, nargs, kwnames, slots.data()))
            return nullptr;
        CameraObject* camera = as_camera(self);
        if (camera == nullptr)
            return nullptr;
        SelfAccess access(camera);
        std::tuple<Params...> values{};
        // In parameter order; the first failure stops the rest.
        const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return (convert_argument(slots[I], Callable.names[I], std::get<I>(values)) && ...);
        }(std::index_sequence_for<Params...>{});
        if (!converted)
            return nullptr;
        return to_python(std::apply(
            [&](Params... native) { return Operation(*camera->core, native...); }, values));
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

constexpr const char* kIdNames[] = {"id"};
constexpr CallableSpec kNewSpec = method_spec<kIdNames>("__new__");

PyObject* camera_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        Slots<1> slots;
        if (!bind_arguments(kNewSpec, args, kwargs, slots.data()))
            return nullptr;
        std::string_view id;
        if (!convert_argument(slots[0], "id", id))
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

constexpr const char* kModeNames[] = {"mode"};
constexpr const char* kUsNames[] = {"us"};
constexpr const char* kGainNames[] = {"gain"};
constexpr const char* kOffsetNames[] = {"offset"};
constexpr const char* kRegionNames[] = {"x", "y", "width", "height"};
constexpr const char* kBinNames[] = {"bin_x", "bin_y"};
constexpr const char* kControlNames[] = {"control_id"};
constexpr const char* kControlValueNames[] = {"control_id", "value"};

constexpr CallableSpec kSetStreamMode = method_spec<kModeNames>("set_stream_mode");
constexpr CallableSpec kSetExposure = method_spec<kUsNames>("set_exposure");
constexpr CallableSpec kSetGain = method_spec<kGainNames>("set_gain");
constexpr CallableSpec kSetOffset = method_spec<kOffsetNames>("set_offset");
constexpr CallableSpec kSetResolution = method_spec<kRegionNames>("set_resolution");
constexpr CallableSpec kSetBinMode = method_spec<kBinNames>("set_bin_mode");
constexpr CallableSpec kIsControlAvailable = method_spec<kControlNames>("is_control_available");
constexpr CallableSpec kSetParam = method_spec<kControlValueNames>("set_param");
constexpr CallableSpec kGetParam = method_spec<kControlNames>("get_param");

using u32 = std::uint32_t;

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
    {"set_stream_mode", as_cfunction<fast_method<kSetStreamMode, set_stream_mode, std::uint8_t>>(),
     kFastCall, "set_stream_mode($self, mode)\n--\n\n"},
    {"set_exposure", as_cfunction<fast_method<kSetExposure, set_exposure, u32>>(), kFastCall,
     "set_exposure($self, us)\n--\n\n"},
    {"set_gain", as_cfunction<fast_method<kSetGain, set_gain, double>>(), kFastCall,
     "set_gain($self, gain)\n--\n\n"},
    {"set_offset", as_cfunction<fast_method<kSetOffset, set_offset, double>>(), kFastCall,
     "set_offset($self, offset)\n--\n\n"},
    {"set_resolution",
     as_cfunction<fast_method<kSetResolution, set_resolution, u32, u32, u32, u32>>(), kFastCall,
     "set_resolution($self, x, y, width, height)\n--\n\n"},
    {"set_bin_mode", as_cfunction<fast_method<kSetBinMode, set_bin_mode, u32, u32>>(), kFastCall,
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
    {"is_control_available",
     as_cfunction<fast_method<kIsControlAvailable, is_control_available, u32>>(), kFastCall,
     "is_control_available($self, control_id)\n--\n\n"},
    {"set_param", as_cfunction<fast_method<kSetParam, set_param, u32, double>>(), kFastCall,
     "set_param($self, control_id, value)\n--\n\n"},
    {"get_param", as_cfunction<fast_method<kGetParam, get_param, u32>>(), kFastCall,
     "get_param($self, control_id)\n--\n\n"},
    {"close", as_cfunction<noarg_method<close_camera>>(), kNoArgs, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyObject* camera_type() {
    if (camera_type_cell == nullptr) {
        PyObject* type =
            make_heap_type("Camera", "Camera(id)\n--\n\n", static_cast<int>(sizeof(CameraObject)),
                           camera_dealloc, camera_new, camera_methods);
        if (type == nullptr)
            return nullptr;
        camera_type_cell = type;
    }
    return camera_type_cell;
}
