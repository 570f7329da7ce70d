// FrameBuffer to numpy array: one copy into a sample buffer that the array then uses in place.
#pragma once

#include <Python.h>

#include "camera/frame_buffer.h"
#include "errors/result.h"
#include "module/py_ref.h"

/// With the GIL held, before a frame is read: looks NumPy's array API up (importing NumPy on
/// the first call), so that a frame the SDK delivers is never lost to a missing NumPy.
Status prepare_frame_arrays();

/// With the GIL held. Consumes the frame's bytes on every path.
Result<py::Ref> frame_to_array(FrameBuffer frame);
