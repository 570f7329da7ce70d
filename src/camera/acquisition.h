// Frame acquisition: exposures, live mode, and frame reads into a FrameBuffer.
// The frame calls run without the GIL, on the handle the camera had when they began (see
// CameraCore::handle): a close() meanwhile does not take it away from them.
#pragma once

#include "camera/camera_core.h"
#include "camera/frame_buffer.h"
#include "errors/result.h"

Status begin_live(const CameraCore& core);
Status stop_live(const CameraCore& core);

Status expose_single_frame(CameraHandle handle);
Result<FrameBuffer> get_single_frame(CameraHandle handle);
Result<FrameBuffer> get_live_frame(CameraHandle handle);
/// An exposure and, if it succeeds, at once the single-frame read.
Result<FrameBuffer> capture_single_frame(CameraHandle handle);
