// FrameBuffer to numpy array: one copy into a sample buffer that the array then uses in place.
#pragma once

#include <Python.h>

#include "camera/frame_buffer.h"
#include "errors/result.h"
#include "module/py_ref.h"

/// With the GIL held. Consumes the frame's bytes on every path.
Result<py::Ref> frame_to_array(FrameBuffer frame);
