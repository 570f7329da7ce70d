"""Drive VEXCAM cameras from Python through the vendor's C SDK.

Failures of the SDK or of a camera call raise ``RuntimeError`` with a fixed message; the four
methods that wait for the camera release the GIL while they wait.
"""

from typing import SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
import numpy.typing as npt

__all__ = ["Camera", "init_sdk", "scan_cameras"]

# A frame: shape (height, width), C order, writeable; uint8 up to 8 bits per pixel, else uint16
# with the samples as the SDK wrote them (a 12-bit camera gives values 0 to 4095).
_Frame: TypeAlias = npt.NDArray[np.uint8] | npt.NDArray[np.uint16]
# Integer parameters take anything with __index__ (int, bool, numpy integers), never a float;
# real parameters take anything with __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex

def init_sdk() -> None:
    """Initialise the SDK's global resource and give it back at once.

    Optional: ``scan_cameras()`` does the same around its own work. Raises ``RuntimeError``
    "SDK initialization failed with code: N".
    """

def scan_cameras() -> list[str]:
    """Return the ids of the connected cameras, in the SDK's order.

    Ids the SDK cannot read are left out. Raises ``RuntimeError`` "SDK initialization failed
    with code: N" or "SDK scan cameras failed with code: 4294967295".
    """

@final
class Camera:
    """One opened camera. ``close()`` it when done; dropping the last reference closes it too."""

    def __new__(cls, id: str) -> Camera:
        """Open the camera with this id, as returned by ``scan_cameras()``.

        Raises ``RuntimeError`` "Failed to open camera: ID", or "String conversion error" for
        an id containing a NUL character.
        """

    def open(self) -> None:
        """Do nothing: the constructor already opened the camera, and a closed one stays closed."""

    def get_firmware_version(self) -> str:
        """Return the firmware version as six upper-case hex digits, for example "010203".

        Raises ``RuntimeError`` "Camera handle is null or closed" or "Operation failed with
        error code: N".
        """

    def init(self) -> None:
        """Initialise the opened camera; call it once after opening, before the settings.

        Raises ``RuntimeError`` "Camera handle is null or closed" or "Operation failed with
        error code: N".
        """

    def set_stream_mode(self, mode: SupportsIndex) -> None:
        """Select the stream mode: 1 selects mode 1, any other value from 0 to 255 mode 0.

        Raises ``OverflowError`` outside 0 to 255, ``RuntimeError`` "Camera handle is null or
        closed" or "Operation failed with error code: N".
        """

    def set_exposure(self, us: SupportsIndex) -> None:
        """Set the exposure time in microseconds (control 8); an integer from 0 to 4294967295.

        Raises ``TypeError`` for a non-integer, ``OverflowError`` out of range, ``RuntimeError``
        "Camera handle is null or closed" or "Operation failed with error code: N".
        """

    def set_gain(self, gain: _Real) -> None:
        """Set the gain (control 6).

        Raises ``RuntimeError`` "Camera handle is null or closed" or "Operation failed with
        error code: N".
        """

    def set_offset(self, offset: _Real) -> None:
        """Set the offset, the black level (control 7).

        Raises ``RuntimeError`` "Camera handle is null or closed" or "Operation failed with
        error code: N".
        """

    def set_resolution(
        self, x: SupportsIndex, y: SupportsIndex, width: SupportsIndex, height: SupportsIndex
    ) -> None:
        """Set the readout region, in unbinned sensor pixels from the top-left corner.

        Raises ``RuntimeError`` "Camera handle is null or closed" or "Operation failed with
        error code: N" (a region the camera refuses).
        """

    def set_bin_mode(self, bin_x: SupportsIndex, bin_y: SupportsIndex) -> None:
        """Set the binning factors; a frame is the region's size divided by them.

        Raises ``RuntimeError`` "Camera handle is null or closed" or "Operation failed with
        error code: N" (factors the camera refuses).
        """

    def exp_single_frame(self) -> None:
        """Take one exposure; read it with ``get_single_frame()``. Releases the GIL.

        Raises ``RuntimeError`` "Camera handle is null or closed" or "Operation failed with
        error code: N".
        """

    def get_single_frame(self) -> _Frame:
        """Read the frame of the last exposure as a new array. Releases the GIL.

        Raises ``RuntimeError`` "Camera handle is null or closed" or "Failed to get frame data
        with return code: N"; ``ValueError`` "Invalid frame dimensions (width or height is 0)".
        """

    def capture_single_frame(self) -> _Frame:
        """Expose and read one frame in a single call, as a new array. Releases the GIL.

        Raises ``RuntimeError`` "Camera handle is null or closed", "Operation failed with error
        code: N" (the exposure) or "Failed to get frame data with return code: N" (the read);
        ``ValueError`` "Invalid frame dimensions (width or height is 0)".
        """

    def begin_live(self) -> None:
        """Start the live stream; read it with ``get_live_frame()``.

        Raises ``RuntimeError`` "Camera handle is null or closed" or "Operation failed with
        error code: N".
        """

    def get_live_frame(self) -> _Frame:
        """Read one frame of the live stream as a new array. Releases the GIL.

        Makes one attempt: raises ``RuntimeError`` "Failed to get frame data with return code:
        N" when the SDK has no frame to give, or "Camera handle is null or closed";
        ``ValueError`` "Invalid frame dimensions (width or height is 0)".
        """

    def stop_live(self) -> None:
        """Stop the live stream.

        Raises ``RuntimeError`` "Camera handle is null or closed" or "Operation failed with
        error code: N".
        """

    def is_control_available(self, control_id: SupportsIndex) -> bool:
        """Tell whether the camera has this control.

        Answers ``False`` for a closed camera and for an invalid control number.
        """

    def set_param(self, control_id: SupportsIndex, value: _Real) -> None:
        """Set any control by number (valid: 0 to 37, 39 to 41, 57 to 59).

        Raises ``ValueError`` "Invalid control ID: N", ``RuntimeError`` "Camera handle is null
        or closed" or "Operation failed with error code: N".
        """

    def get_param(self, control_id: SupportsIndex) -> float:
        """Read a control's current value from the camera; 0.0 on a closed camera.

        Raises ``ValueError`` "Invalid control ID: N" (valid: 0 to 37, 39 to 41, 57 to 59).
        """

    def close(self) -> None:
        """Close the camera; later calls raise ``RuntimeError`` "Camera handle is null or closed".

        Closing twice is harmless. While other threads are inside frame methods of this camera,
        the camera is closed to later calls at once and the last of those reads closes the
        handle as it returns. Raises ``RuntimeError`` "Operation failed with error code: N".
        """
