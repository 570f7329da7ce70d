"""FITS files from exposure records, with the header that astronomy software reads.

    from vexcam_device import Device
    from vexcam_device.fits import write_fits

    with Device("VXSIM-M16-002") as device:
        write_fits(device.expose(), "m16.fits", frame_type="Dark", extra={"OBSERVER": "me"})

8-bit frames are written as BITPIX 8, deeper ones as BITPIX 16 with BZERO 32768 (unsigned
samples, as FITS stores them); the samples read back exactly. Needs astropy, which the layer
itself does not: `pip install "vexcam[fits]"`.
"""

from __future__ import annotations

import functools
import io
import math
import re
from collections.abc import Mapping
from datetime import UTC
from importlib import metadata
from os import PathLike
from typing import TYPE_CHECKING, Any, Union

import numpy as np

from ._device import ExposureRecord

if TYPE_CHECKING:
    # astropy has no type information; a type check without astropy installed sees none either.
    from astropy.io.fits import Header, PrimaryHDU  # type: ignore[import-untyped, import-not-found, unused-ignore]

# The frame types, as FRAME writes them; IMAGETYP adds " Frame".
FRAME_TYPES = ("Light", "Dark", "Bias", "Flat")
HeaderValue = Union[str, int, float, bool]
# A keyword's value, or its value and comment.
Extra = Mapping[str, Union[HeaderValue, tuple[HeaderValue, str]]]

# Written by astropy from the array itself; an extra keyword may not change them.
_STRUCTURAL = frozenset(
    {"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "EXTEND", "BZERO", "BSCALE", "END"}
)
_KEYWORD = re.compile(r"[A-Z0-9_-]{1,8}")


def _fits() -> Any:
    try:
        from astropy.io import fits  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError as exc:
        raise ImportError(
            f"FITS output needs astropy, which is not installed ({exc}): pip install 'vexcam[fits]'"
        ) from exc
    return fits


@functools.cache
def _software() -> str:
    try:
        return f"vexcam {metadata.version('vexcam')}"
    except metadata.PackageNotFoundError:
        return "vexcam"


def _frame_type(frame_type: str) -> str:
    for name in FRAME_TYPES:
        if frame_type.lower() == name.lower():
            return name
    raise ValueError(f"frame type {frame_type!r} is not one of {', '.join(FRAME_TYPES)}")


def _known(value: float | None) -> bool:
    return value is not None and math.isfinite(value)


def fits_header(record: ExposureRecord, *, frame_type: str = "Light", extra: Extra | None = None) -> Header:
    """The header of `record`'s FITS file, without the keywords astropy takes from the array.

    `frame_type` is one of FRAME_TYPES (any case). `extra` adds keywords, or replaces standard
    ones (`{"OBSERVER": "me", "FOCUS": (1200, "[steps]")}`); ValueError for a keyword that is
    not a FITS keyword or describes the array, and for a value FITS cannot hold.
    """
    fits = _fits()
    kind = _frame_type(frame_type)
    frame = record.frame
    if frame.ndim != 2 or frame.dtype not in (np.uint8, np.uint16):
        raise ValueError(f"a frame must be a 2-D uint8 or uint16 array, not {frame.ndim}-D {frame.dtype}")
    header = fits.Header()
    seconds = record.exposure_s
    start = record.start.astimezone(UTC).replace(tzinfo=None)
    header["DATE-OBS"] = (start.isoformat(timespec="milliseconds"), "UTC start of exposure (host clock)")
    header["EXPTIME"] = (seconds, "[s] exposure time")
    header["EXPOSURE"] = (seconds, "[s] exposure time")
    if kind == "Dark":
        header["DARKTIME"] = (seconds, "[s] dark current integration time")
    x, y, _, _ = record.binned_region
    header["XBINNING"] = (record.binning, "horizontal binning factor")
    header["YBINNING"] = (record.binning, "vertical binning factor")
    header["XORGSUBF"] = (x, "[px] subframe origin, binned pixels")
    header["YORGSUBF"] = (y, "[px] subframe origin, binned pixels")
    pixel = record.pixel_size_um
    if pixel is not None and math.isfinite(pixel):
        size = pixel * record.binning
        header["XPIXSZ"] = (size, "[um] pixel width, binning included")
        header["YPIXSZ"] = (size, "[um] pixel height, binning included")
    if _known(record.sensor_temperature):
        header["CCD-TEMP"] = (record.sensor_temperature, "[C] sensor temperature at start")
    if record.cooler_on and _known(record.cooler_target):
        header["SET-TEMP"] = (record.cooler_target, "[C] cooler setpoint")
    if _known(record.gain):
        header["GAIN"] = (record.gain, "gain setting")
    if _known(record.offset):
        header["OFFSET"] = (record.offset, "offset (black level) setting")
    header["INSTRUME"] = (record.camera_id, "camera id")
    header["IMAGETYP"] = (f"{kind} Frame", "frame type")
    header["FRAME"] = (kind, "frame type")
    header["ROWORDER"] = ("TOP-DOWN", "first row is the top of the image")
    header["BITDEPTH"] = (record.bit_depth, "bits per sample the sensor delivers")
    header["SWCREATE"] = (_software(), "software that wrote the file")
    for keyword, given in (extra or {}).items():
        key = keyword.upper() if isinstance(keyword, str) else keyword
        if not isinstance(key, str) or not _KEYWORD.fullmatch(key):
            raise ValueError(f"extra keyword {keyword!r} is not a FITS keyword (1 to 8 of A-Z, 0-9, _ and -)")
        if key in _STRUCTURAL:
            raise ValueError(f"extra keyword {key} describes the data array and is written by itself")
        value, comment = given if isinstance(given, tuple) else (given, "")
        try:
            header[key] = (value, comment)
        except (ValueError, TypeError) as exc:
            raise ValueError(f"extra keyword {key}: {exc}") from None
    return header


def _hdu(record: ExposureRecord, frame_type: str, extra: Extra | None) -> PrimaryHDU:
    header = fits_header(record, frame_type=frame_type, extra=extra)
    return _fits().PrimaryHDU(record.frame, header)


def fits_bytes(record: ExposureRecord, *, frame_type: str = "Light", extra: Extra | None = None) -> bytes:
    """The FITS file of `record`, as bytes (an INDI BLOB, an HTTP body); see `fits_header`."""
    buffer = io.BytesIO()
    _hdu(record, frame_type, extra).writeto(buffer)
    return buffer.getvalue()


def write_fits(
    record: ExposureRecord,
    path: str | PathLike[str],
    *,
    frame_type: str = "Light",
    extra: Extra | None = None,
    overwrite: bool = False,
) -> None:
    """Writes `record` as a FITS file at `path`; OSError if it exists, unless `overwrite`."""
    _hdu(record, frame_type, extra).writeto(path, overwrite=overwrite)
