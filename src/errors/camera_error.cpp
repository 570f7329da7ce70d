// Message texts of every failure value.
#include "errors/camera_error.h"

std::string render(const CameraError& error) {
    // std::to_string of an unsigned value: plain decimal, so an SDK result of -1 reads 4294967295.
    const std::string code = std::to_string(error.code);
    switch (error.kind) {
    case ErrorKind::SdkInitFailed:
        return "SDK initialization failed with code: " + code;
    case ErrorKind::ScanFailed:
        return "SDK scan cameras failed with code: " + code;
    case ErrorKind::OpenFailed:
        return "Failed to open camera: " + error.id;
    case ErrorKind::InvalidHandle:
        return "Camera handle is null or closed";
    case ErrorKind::OperationFailed:
        return "Operation failed with error code: " + code;
    case ErrorKind::FrameFailed:
        return "Failed to get frame data with return code: " + code;
    case ErrorKind::StringConversion:
        return "String conversion error";
    }
    return "Unknown camera error";
}

std::string render(const InvalidValue& error) {
    switch (error.kind) {
    case InvalidKind::ControlId:
        return "Invalid control ID: " + std::to_string(error.control_id);
    case InvalidKind::FrameDimensions:
        return "Invalid frame dimensions (width or height is 0)";
    }
    return "Invalid value";
}

std::string render(const InternalFault& fault) {
    switch (fault.kind) {
    case FaultKind::ApiCallFailed:
        return "Python API call failed";
    case FaultKind::TypeCreationFailed:
        return "failed to create type object for " + fault.detail;
    case FaultKind::AllAppendFailed:
        return "could not append __name__ to __all__";
    case FaultKind::CapacityOverflow:
        return "capacity overflow";
    case FaultKind::NumpyApiMissing:
        return "Failed to access NumPy array API capsule: " + fault.detail;
    case FaultKind::ContainerFailed:
        return "Failed to create slice container: " + fault.detail;
    }
    return "vexcam internal error";
}
