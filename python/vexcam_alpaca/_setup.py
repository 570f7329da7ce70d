"""The setup pages: what the server serves and, per camera, its facts, settings and last image."""

from __future__ import annotations

import html
import struct
import zlib
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from ._protocol import AlpacaError

if TYPE_CHECKING:
    from ._camera import AlpacaCamera

_STYLE = """body{font-family:system-ui,sans-serif;margin:2em;max-width:52em;color:#222}
table{border-collapse:collapse;margin:1em 0}td,th{border:1px solid #ccc;padding:.3em .7em;text-align:left}
th{background:#f2f2f2}img{border:1px solid #888;image-rendering:pixelated;max-width:100%}
.note{color:#666}"""


def _page(title: str, body: str) -> str:
    return (
        f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>'
        f"<style>{_STYLE}</style></head><body><h1>{html.escape(title)}</h1>{body}</body></html>"
    )


def _table(rows: Sequence[tuple[str, object]]) -> str:
    cells = "".join(f"<tr><th>{html.escape(k)}</th><td>{html.escape(str(v))}</td></tr>" for k, v in rows)
    return f"<table>{cells}</table>"


def index_page(cameras: Sequence[AlpacaCamera], unique_ids: Sequence[str]) -> str:
    rows = "".join(
        f'<tr><td><a href="/setup/v1/camera/{c.number}/setup">Camera {c.number}</a></td>'
        f"<td>{html.escape(c.device.id)}</td><td>{html.escape(uid)}</td>"
        f"<td>{'connected' if c.connected else 'not connected'}</td></tr>"
        for c, uid in zip(cameras, unique_ids, strict=True)
    )
    body = (
        '<p>An ASCOM Alpaca server for VEXCAM cameras. Settings are made by the clients; '
        "these pages show them.</p>"
        f"<table><tr><th>Device</th><th>Camera id</th><th>Unique id</th><th>State</th></tr>{rows}</table>"
    )
    return _page("vexcam Alpaca server", body)


def _reading(read: object) -> object:
    try:
        return read() if callable(read) else read
    except (AlpacaError, NotImplementedError, RuntimeError, ValueError):
        return "not available"


def camera_page(camera: AlpacaCamera, unique_id: str) -> str:
    device = camera.device
    facts: list[tuple[str, object]] = [("Camera id", device.id), ("Unique id", unique_id),
                                        ("Alpaca device", f"camera {camera.number}")]
    if not camera.connected:
        body = _table(facts) + '<p class="note">Not connected: a client connects the camera, and then its sensor and settings show here.</p>'
        return _page(f"Camera {camera.number}: {device.id}", body)
    state = ("Idle", "Waiting", "Exposing", "Reading", "Download", "Error")[camera.state()]
    facts += [
        ("Firmware", device.firmware),
        ("Sensor", f"{device.sensor.width} x {device.sensor.height} pixels, {device.bit_depth} bits"),
        ("Sensor name", device.sensor_name or "not known"),
        ("Pixel size", "not known" if device.pixel_size_um is None else f"{device.pixel_size_um:g} µm"),
    ]
    settings: list[tuple[str, object]] = [
        ("Camera state", state),
        ("Binning", f"{camera.get_binx()} x {camera.get_biny()}"),
        ("Subframe (binned pixels)", "StartX {} StartY {} NumX {} NumY {}".format(*(
            getter() for getter in (camera.get_startx, camera.get_starty, camera.get_numx, camera.get_numy)))),
        ("Gain", _reading(camera.get_gain)),
        ("Offset", _reading(camera.get_offset)),
        ("Cooler", _reading(lambda: "on" if camera.get_cooleron() else "off")),
        ("Cooler target (°C)", _reading(camera.get_setccdtemperature)),
        ("Sensor temperature (°C)", _reading(camera.get_ccdtemperature)),
        ("Last exposure", _reading(lambda: f"{camera.get_lastexposureduration():g} s from "
                                           f"{camera.get_lastexposurestarttime()} UTC")),
    ]
    image = camera.last_image()
    if image is None:
        picture = '<p class="note">No image yet.</p>'
    else:
        width, height = image.size
        picture = (f'<p><img src="/setup/v1/camera/{camera.number}/preview.png" '
                   f'alt="last image, {width} x {height}"></p>'
                   f'<p class="note">Last image: {width} x {height}, shown reduced and stretched.</p>')
    body = (_table(facts) + "<h2>Current settings</h2>" + _table(settings)
            + "<h2>Last image</h2>" + picture)
    return _page(f"Camera {camera.number}: {device.id}", body)


def preview(frame: NDArray[Any], size: int = 256) -> NDArray[Any]:
    """A small 8-bit view of a frame: every n-th pixel, stretched between its 1st and 99.5th percentiles."""
    step = max(1, -(-max(frame.shape) // size))
    small = frame[::step, ::step].astype(np.float32)
    low, high = np.percentile(small, (1.0, 99.5))
    scaled = (small - low) * (255.0 / max(float(high - low), 1.0))
    view: NDArray[Any] = np.clip(scaled, 0, 255).astype(np.uint8)
    return view


def _chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def preview_png(frame: NDArray[Any]) -> bytes:
    """The frame's preview as an 8-bit greyscale PNG."""
    gray = preview(frame)
    height, width = gray.shape
    rows = np.zeros((height, width + 1), np.uint8)  # each row led by filter type 0
    rows[:, 1:] = gray
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header)
            + _chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)) + _chunk(b"IEND", b""))
