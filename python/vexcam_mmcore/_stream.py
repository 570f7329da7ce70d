"""One run of a camera's live mode, read on a thread of its own."""

from __future__ import annotations

import threading
import time
from collections import deque
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import vexcam
    from numpy.typing import NDArray

# Frames read ahead of the consumer. Two let the next SDK read overlap the framework's copy of
# the last frame; more would only age the frames a live view shows.
_DEPTH = 2
# How long close() waits for the reader once the SDK has been told to stop the stream.
_JOIN_S = 5.0


class LiveStream:
    """Starts live mode at once and reads `count` frames (None: until closed) in the background.

    The SDK's frame wait has no timeout and cannot be cancelled, except by stopping live mode;
    so the reader is the only thread that ever waits inside the SDK, and `close()`, from any
    thread, stops live mode first, which wakes it. `next()` waits only on this object, and
    returns at once when the stream is closed.
    """

    def __init__(self, camera: vexcam.Camera, count: int | None) -> None:
        self._camera = camera
        self._left = count
        self._cond = threading.Condition()
        self._frames: deque[tuple[NDArray[Any], float]] = deque()
        self._error: BaseException | None = None
        self._done = False  # the reader has left its loop
        self._closed = False
        self.started = time.perf_counter()
        camera.begin_live()  # a failure here reaches the caller that starts the sequence
        self._reader = threading.Thread(target=self._read, name="vexcam-live", daemon=True)
        self._reader.start()

    def _read(self) -> None:
        try:
            while self._left is None or self._left > 0:
                frame = self._camera.get_live_frame()  # GIL released while it waits
                read_at = time.perf_counter()
                with self._cond:
                    while len(self._frames) >= _DEPTH and not self._closed:
                        self._cond.wait()
                    if self._closed:
                        return
                    self._frames.append((frame, read_at))
                    self._cond.notify_all()
                if self._left is not None:
                    self._left -= 1
        except Exception as exc:  # noqa: BLE001 - handed to the consumer, raised there
            with self._cond:
                if not self._closed:  # a read that close() woke up is no error
                    self._error = exc
        finally:
            self._finish()

    def _finish(self) -> None:
        with self._cond:
            closed = self._closed
        if not closed:  # close() stops live mode itself; after it, another stream may run
            try:
                self._camera.stop_live()
            except Exception as exc:  # noqa: BLE001
                with self._cond:
                    self._error = self._error or exc
        with self._cond:
            self._done = True
            self._cond.notify_all()

    def next(self) -> tuple[NDArray[Any], float] | None:
        """The next frame and the perf_counter() time its read returned; None once ended.

        Raises what the reader's SDK call raised, after the frames read before it.
        """
        with self._cond:
            while not self._frames:
                if self._closed:
                    return None
                if self._done:
                    if self._error is not None:
                        raise self._error
                    return None
                self._cond.wait()
            item = self._frames.popleft()
            self._cond.notify_all()
            return item

    def close(self) -> None:
        """Stops live mode and the reader; idempotent, from any thread but the reader's."""
        with self._cond:
            if self._closed:
                return
            self._closed = True
            done = self._done
            self._frames.clear()
            self._cond.notify_all()
        if not done:
            try:
                self._camera.stop_live()  # wakes a reader waiting inside the SDK
            except Exception:  # noqa: BLE001 - a closed camera has no live mode left to stop
                pass
        self._reader.join(_JOIN_S)
