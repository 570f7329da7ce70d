// Frame samples to numpy arrays: the array uses the sample block in place, through a
// PySliceContainer that owns the block and is the array's base object.
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
