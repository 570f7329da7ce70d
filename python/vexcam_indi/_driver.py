"""The driver's message loop: INDI messages in, one device per camera, every write whole."""

from __future__ import annotations

import logging
import threading
import time
import xml.etree.ElementTree as ET
from collections.abc import Iterator
from typing import BinaryIO, Protocol

import vexcam
from vexcam_device import Config

from ._camera import CameraDevice
from ._properties import message_xml
from ._stream import Malformed, MessageReader

log = logging.getLogger("vexcam_indi")
_LOGGED_PER_READ = 5  # malformed stretches logged one by one, per read; the rest are counted
SHUTDOWN_GRACE_S = 5.0  # after standard input closes, how long cameras get to close
_NEW = {"newNumberVector": "Number", "newSwitchVector": "Switch", "newTextVector": "Text", "newBLOBVector": "BLOB"}
# What indiserver may pass on that a camera driver has nothing to do with: snooped devices'
# traffic, and BLOB policy, which indiserver applies per client itself.
_IGNORED = frozenset({"enableBLOB", "message", "delProperty", "pingReply"})


class Readable(Protocol):
    def read(self, size: int = -1, /) -> bytes: ...


def device_name(camera_id: str) -> str:
    return f"Vexcam {camera_id}"


class Driver:
    """Every camera found, as an INDI device, answering the messages fed to it.

    `run(stream)` reads messages until the stream ends; `feed(data)` takes bytes as they
    come. Replies and property updates go to `output`, one message per write, under a lock:
    the message loop and the cameras' workers write to it alike.
    """

    def __init__(self, output: BinaryIO, *, config: Config | None = None, camera_ids: list[str] | None = None) -> None:
        self._output = output
        self._write_lock = threading.Lock()
        self.broken = False  # the output is gone: nothing more can be said
        self.config = config if config is not None else Config.load()
        if camera_ids is None:
            try:
                camera_ids = vexcam.scan_cameras()
            except RuntimeError as exc:
                log.error("no cameras: the scan failed: %s", exc)
                camera_ids = []
        self.devices = {
            device_name(cid): CameraDevice(device_name(cid), cid, self.config, self.send) for cid in camera_ids
        }
        self._reader = MessageReader()
        log.info("serving %s", ", ".join(self.devices) or "no cameras")

    def send(self, *parts: bytes | Iterator[bytes]) -> None:
        """Writes one message whole: `parts` in order, an iterator's pieces as they come.

        A closed output ends all writing."""
        with self._write_lock:
            if self.broken:
                return
            try:
                for part in parts:
                    for piece in (part,) if isinstance(part, bytes) else part:
                        self._output.write(piece)
                self._output.flush()
            except (OSError, ValueError) as exc:
                self.broken = True
                log.error("the output is closed (%s): no more messages", exc)

    def feed(self, data: bytes) -> None:
        skipped = 0
        for item in self._reader.feed(data):
            if isinstance(item, Malformed):
                skipped += 1
                if skipped <= _LOGGED_PER_READ:
                    log.warning("skipped malformed input (%s): %r", item.reason, item.skipped)
            else:
                try:
                    self.dispatch(item)
                except Exception:  # a fault of ours must not end the driver
                    log.exception("while handling <%s>", item.tag)
        if skipped > _LOGGED_PER_READ:
            log.warning("skipped %d more stretches of malformed input", skipped - _LOGGED_PER_READ)

    def dispatch(self, message: ET.Element) -> None:
        tag, device, name = message.tag, message.get("device"), message.get("name")
        if tag == "getProperties":
            for camera in self.devices.values():
                if device is None or device == camera.name:
                    camera.get_properties(name)
        elif tag == "pingRequest":
            self.send(ET.tostring(ET.Element("pingReply", {"uid": message.get("uid", "")})) + b"\n")
        elif tag in _NEW:
            target = self.devices.get(device or "")
            if target is None:
                log.warning("ignored <%s> for device %r, which this driver does not have", tag, device)
            elif not name:
                self.send(message_xml(target.name, f"<{tag}> without a property name was ignored"))
            else:
                target.new(_NEW[tag], name, message)
        elif tag not in _IGNORED and not tag.startswith(("def", "set")):
            log.warning("ignored unknown message <%s>", tag)

    def run(self, stream: Readable) -> None:
        """Reads `stream` until it ends or fails, then closes the cameras."""
        read = getattr(stream, "read1", stream.read)
        while not self.broken:
            try:
                data = read(1 << 16)
            except (OSError, ValueError) as exc:
                log.error("the input failed: %s", exc)
                break
            if not data:
                break
            self.feed(data)
        self.shutdown()

    def shutdown(self, grace: float = SHUTDOWN_GRACE_S) -> None:
        """Closes every camera; one still exposing after `grace` seconds is left to the OS."""
        for camera in self.devices.values():
            camera.shutdown()
        deadline = time.monotonic() + grace
        for camera in self.devices.values():
            camera.join(max(0.0, deadline - time.monotonic()))
