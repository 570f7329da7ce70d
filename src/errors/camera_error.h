// The failure values that carry a message, and render(): every message text they reach Python
// with. Each kind is a closed enum; the call frame decides which exception a value becomes.
#pragma once

#include <cstdint>
#include <string>

enum class ErrorKind {
    SdkInitFailed,
    ScanFailed,
    OpenFailed,
    InvalidHandle,
    OperationFailed,
    FrameFailed,
    StringConversion,
};

/// The camera layer's failure; raised as RuntimeError.
struct CameraError {
    ErrorKind kind;
    std::uint32_t code = 0; // the SDK's result, for the kinds that carry one
    std::string id{};       // the camera id, for OpenFailed only
};

enum class InvalidKind {
    ControlId,       // a control number the SDK does not know
    FrameDimensions, // a frame of zero width or height
};

/// A value the module refuses; raised as ValueError.
struct InvalidValue {
    InvalidKind kind;
    std::uint32_t control_id = 0; // for ControlId
};

enum class FaultKind {
    ApiCallFailed,      // an interpreter call that cannot fail did; its error is printed first
    TypeCreationFailed, // a type needed after import could not be made; its error printed first
    AllAppendFailed,    // a name could not be added to __all__
    CapacityOverflow,   // a frame too large to address
    NumpyApiMissing,    // NumPy's array API could not be found: `detail` says what was met
    ContainerFailed,    // a PySliceContainer could not be made: `detail` says why
};

/// A broken invariant of our own; raised as PanicException.
struct InternalFault {
    FaultKind kind;
    std::string detail{}; // the type's name for TypeCreationFailed, else a Python error's text
};

std::string render(const CameraError& error);
std::string render(const InvalidValue& error);
std::string render(const InternalFault& fault);
