// Camera: slots and the method table. Each method is one description (name, operation, parameter
// names); its frame binds the arguments, takes shared access to self, runs the operation on the
// CameraCore and converts the outcome.
#include "module/camera_type.h"

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
#include "module/to_python.h"

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

// The two rare paths of as_camera, out of line, so that the usual call stays without a stack
// frame. A Camera made without our constructor (a __new__ replaced from Python) is a closed
// camera.
#if defined(_MSC_VER)
__declspec(noinline)
#else
__attribute__((noinline, cold))
#endif
    void adopt_unopened(CameraObject* camera) {
    camera->core = CameraCore::unopened();
}

#if defined(_MSC_VER)
__declspec(noinline)
#else
__attribute__((noinline, cold))
#endif
    CameraObject* camera_type_failed() {
    raise(InternalFault{FaultKind::TypeCreationFailed, "Camera"});
    return nullptr;
}

CameraObject* as_camera(PyObject* self) {
    PyObject* type = module_state.camera_type;
    if (type == nullptr && (type = camera_type()) == nullptr)
        return camera_type_failed();
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
// the camera has as they begin, through a reference of their own (start_read) so that the
// record outlives a close() or a dealloc meanwhile. A close() that came meanwhile left the
// camera Closing; the last of them closes it, once it holds the GIL again (finish_read).
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
        CoreRef pin = core.start_read();
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

// The constructor: Camera(id), whose signature is the class's.
using New = Description<Owner::Class, "Camera", "id">;

PyObject* camera_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        Slots<New::count> slots;
        if (!bind_arguments(New::binding, args, kwargs, slots.data()))
            return nullptr;
        std::string_view id;
        if (!convert_argument(slots[0], New::binding.name(0), id))
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

template <auto Method>
PyCFunction as_cfunction() {
    // Through void(*)() so that -Wcast-function-type accepts the other signatures.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

// Whether an operation is one of those that wait on the camera: they work on the handle alone.
template <class Operation>
constexpr bool kWaitsOnCamera = false;
template <class Outcome>
constexpr bool kWaitsOnCamera<Outcome (*)(CameraHandle)> = true;

// The method table entry of one Camera method, from its description: its name, the operation
// it runs and its parameter names. The parameter types are the operation's. An operation on a
// CameraHandle waits on the camera and runs without the GIL (waiting_method); one on the
// CameraCore runs with the GIL held throughout.
template <Name Function, auto Operation, Name... Params>
PyMethodDef method() {
    using Described = Description<Owner::Method, Function, Params...>;
    constexpr const char* doc = Described::doc.data();
    if constexpr (sizeof...(Params) > 0) {
        static_assert(!kWaitsOnCamera<decltype(Operation)>, "frame reads take no arguments");
        return {Function.text, as_cfunction<fast_method<Described::binding, Operation>>(),
                METH_FASTCALL | METH_KEYWORDS, doc};
    } else if constexpr (kWaitsOnCamera<decltype(Operation)>) {
        return {Function.text, waiting_method<Operation>, METH_NOARGS, doc};
    } else {
        return {Function.text, noarg_method<Operation>, METH_NOARGS, doc};
    }
}

// One description per method. Order matters: it is the order of the type's dictionary.
PyMethodDef camera_methods[] = {
    method<"open", open_camera>(),
    method<"get_firmware_version", firmware_version>(),
    method<"init", init_camera>(),
    method<"set_stream_mode", set_stream_mode, "mode">(),
    method<"set_exposure", set_exposure, "us">(),
    method<"set_gain", set_gain, "gain">(),
    method<"set_offset", set_offset, "offset">(),
    method<"set_resolution", set_resolution, "x", "y", "width", "height">(),
    method<"set_bin_mode", set_bin_mode, "bin_x", "bin_y">(),
    method<"exp_single_frame", expose_single_frame>(),
    method<"get_single_frame", get_single_frame>(),
    method<"capture_single_frame", capture_single_frame>(),
    method<"begin_live", begin_live>(),
    method<"get_live_frame", get_live_frame>(),
    method<"stop_live", stop_live>(),
    method<"is_control_available", is_control_available, "control_id">(),
    method<"set_param", set_param, "control_id", "value">(),
    method<"get_param", get_param, "control_id">(),
    method<"close", close_camera>(),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyObject* camera_type() {
    if (module_state.camera_type == nullptr) {
        PyObject* type =
            make_heap_type("Camera", New::doc.data(), static_cast<int>(sizeof(CameraObject)),
                           camera_dealloc, camera_new, camera_methods);
        if (type == nullptr)
            return nullptr;
        module_state.camera_type = type;
    }
    return module_state.camera_type;
}
