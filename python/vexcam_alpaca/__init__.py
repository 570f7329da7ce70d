"""VEXCAM cameras as ASCOM Alpaca devices, for astronomy programs on this or other machines.

Run `vexcam-alpaca` (or `python -m vexcam_alpaca`); see `vexcam-alpaca --help`. In a program of
your own, `Server([AlpacaCamera(0, Device(camera_id))]).start()` serves from a background thread
until `stop()`. Needs the `alpaca` extra: `pip install "vexcam[alpaca]"`.
"""

from ._camera import AlpacaCamera
from ._server import Server, unique_id

__all__ = ["AlpacaCamera", "Server", "unique_id"]
