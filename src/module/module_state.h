// The module's process-wide state, all in one place.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

// Who touches it, and when: only code in src/module, and only with the GIL held by the one
// interpreter that owns the module (others are refused at import, by the compare-exchange on
// owning_interpreter, the one field that is atomic). Each cell starts empty, is filled once, on
// first use, and is never emptied: the objects it refers to live until the process ends, and
// nothing here is torn down at exit. A cell may be read on every call, so filling one is the
// only write after that. Besides these, each callable's description keeps its parameter names
// as interned str objects, on the same terms (Description in call_frame.h). The camera layer
// keeps its own process-wide state (the SDK resource flag, the frame block pool, the fork
// generation), which needs no GIL.
struct ModuleState {
    std::atomic<std::int64_t> owning_interpreter{-1}; // the first interpreter to import us
    PyObject* module = nullptr;
    PyObject* camera_type = nullptr;
    PyObject* container_type = nullptr;  // PySliceContainer, made with the first frame
    void** numpy_api = nullptr;          // its capsule is kept referenced, so the table stays valid
    PyObject* panic_exception = nullptr; // made with the first internal fault
};

inline constinit ModuleState module_state{};
