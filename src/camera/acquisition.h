// Frame acquisition: exposures, live mode, and frame reads into a FrameBuffer.
// Everything here runs without the GIL except begin_live and stop_live.
#pragma once

#include "camera/camera_core.h"
#include "camera/frame_buffer.h"
#include "errors/result.h"

Status expose_single_frame(const CameraCore& core);
Status begin_live(const CameraCore& core);
Status stop_live(const CameraCore& core);
Result<FrameBuffer> get_single_frame(const CameraCore& core);
Result<FrameBuffer> get_live_frame(const CameraCore& core);
/// An exposure and, if it succeeds, at once the single-frame read.
Result<FrameBuffer> capture_single_frame(const CameraCore& core);
