"""The ctypes peer: the SDK driven without vexcam, as a user would write it by hand.

The library is loaded by name through ctypes with every argtypes/restype declared, each
method checks the SDK's result and raises like vexcam does, and a frame read allocates a
zeroed buffer of the reported size, lets the SDK fill it and copies the picture out with
`np.frombuffer(...).copy()`.
"""

import ctypes
import os

import numpy as np

GAIN = 6
EXPOSURE = 8


def load_sdk(lib_dir):
    """The SDK library; the same object vexcam loaded when vexcam is imported first."""
    lib = ctypes.CDLL(os.path.join(lib_dir, "libvexcam.so"))
    handle, u32, u8, dbl = ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint8, ctypes.c_double
    u32p = ctypes.POINTER(u32)
    frame_args = [handle, u32p, u32p, u32p, u32p, ctypes.POINTER(ctypes.c_ubyte)]
    signatures = {
        "OpenVEXCAM": (handle, [ctypes.c_char_p]),
        "CloseVEXCAM": (u32, [handle]),
        "InitVEXCAM": (u32, [handle]),
        "IsVEXCAMControlAvailable": (u32, [handle, u32]),
        "GetVEXCAMParam": (dbl, [handle, u32]),
        "SetVEXCAMParam": (u32, [handle, u32, dbl]),
        "SetVEXCAMStreamMode": (u32, [handle, u8]),
        "SetVEXCAMResolution": (u32, [handle, u32, u32, u32, u32]),
        "GetVEXCAMMemLength": (u32, [handle]),
        "ExpVEXCAMSingleFrame": (u32, [handle]),
        "GetVEXCAMSingleFrame": (u32, frame_args),
    }
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


class CtypesCamera:
    def __init__(self, lib, camera_id):
        self._lib = lib
        self._handle = lib.OpenVEXCAM(camera_id.encode())
        if not self._handle:
            raise RuntimeError(f"cannot open camera {camera_id}")
        # Bound once, as a careful user would, so no attribute walk is timed per call.
        self._set_param = lib.SetVEXCAMParam
        self._get_param = lib.GetVEXCAMParam
        self._available = lib.IsVEXCAMControlAvailable
        self._set_resolution = lib.SetVEXCAMResolution
        self._init = lib.InitVEXCAM
        self._mem_length = lib.GetVEXCAMMemLength
        self._expose = lib.ExpVEXCAMSingleFrame
        self._read = lib.GetVEXCAMSingleFrame

    def close(self):
        if self._handle:
            self._lib.CloseVEXCAM(self._handle)
            self._handle = None

    def init(self):
        rc = self._init(self._handle)
        if rc:
            raise RuntimeError(f"Operation failed with error code: {rc}")

    def set_gain(self, gain):
        rc = self._set_param(self._handle, GAIN, gain)
        if rc:
            raise RuntimeError(f"Operation failed with error code: {rc}")

    def set_exposure(self, us):
        rc = self._set_param(self._handle, EXPOSURE, us)
        if rc:
            raise RuntimeError(f"Operation failed with error code: {rc}")

    def set_resolution(self, x, y, width, height):
        rc = self._set_resolution(self._handle, x, y, width, height)
        if rc:
            raise RuntimeError(f"Operation failed with error code: {rc}")

    def get_param(self, control_id):
        return self._get_param(self._handle, control_id)

    def is_control_available(self, control_id):
        return self._available(self._handle, control_id) == 0

    def mem_length(self):
        return self._mem_length(self._handle)

    def exp_single_frame(self):
        rc = self._expose(self._handle)
        if rc:
            raise RuntimeError(f"Operation failed with error code: {rc}")

    def get_single_frame(self):
        size = self._mem_length(self._handle)
        if size == 0:
            raise RuntimeError("Failed to get frame data with return code: 0")
        buffer = (ctypes.c_ubyte * size)()  # zero-filled
        width = ctypes.c_uint32()
        height = ctypes.c_uint32()
        bits = ctypes.c_uint32()
        channels = ctypes.c_uint32()
        rc = self._read(
            self._handle,
            ctypes.byref(width),
            ctypes.byref(height),
            ctypes.byref(bits),
            ctypes.byref(channels),
            buffer,
        )
        if rc:
            raise RuntimeError(f"Failed to get frame data with return code: {rc}")
        w, h = width.value, height.value
        dtype = np.uint16 if bits.value > 8 else np.uint8
        return np.frombuffer(buffer, dtype=dtype, count=w * h).reshape(h, w).copy()

    def capture_single_frame(self):
        self.exp_single_frame()
        return self.get_single_frame()
