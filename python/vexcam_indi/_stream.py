"""INDI's byte stream cut into its top-level messages by expat, incrementally, surviving bad input."""

from __future__ import annotations

import xml.etree.ElementTree as ET
from dataclasses import dataclass
from xml.parsers import expat

# INDI's stream is a sequence of elements with no document around them: the parser is given
# one of its own first, so every message is a child of it.
_ROOT = b"<indi>"
# Messages a client sends; one of them opening inside another means the other was never closed.
MESSAGE_TAGS = frozenset({
    "getProperties", "enableBLOB", "newNumberVector", "newSwitchVector", "newTextVector",
    "newBLOBVector", "pingRequest", "pingReply",
})  # fmt: skip
MAX_MESSAGE = 16 << 20  # bytes: no message we accept comes near it


@dataclass(frozen=True)
class Malformed:
    """Input that was skipped, and why; the messages around it are kept."""

    reason: str
    skipped: bytes  # the start of what was dropped, for the log


class _Restart(Exception):
    """Raised from a handler: parse again from this parser index."""

    def __init__(self, index: int, reason: str, *, past: bool = False) -> None:
        super().__init__(reason)
        self.index, self.reason, self.past = index, reason, past


class MessageReader:
    """Feeds bytes to expat and returns each message as an Element once it is complete.

    After malformed input it starts a new parser at the next `<` past the fault, so whatever
    completed before the fault has been returned and whatever follows it is still read. Only
    the bytes since the last complete message are kept, for such a restart.
    """

    def __init__(self, limit: int = MAX_MESSAGE) -> None:
        self._limit = limit
        self._pending = bytearray()  # input not yet known to belong to a complete message
        self._new_parser()

    def _new_parser(self) -> None:
        parser = expat.ParserCreate("UTF-8")
        parser.buffer_text = True
        parser.StartElementHandler = self._start
        parser.EndElementHandler = self._end
        parser.CharacterDataHandler = self._text
        self._parser = parser
        self._origin = len(_ROOT)  # the parser's index of self._pending[0]
        self._kept = self._origin  # the parser's index up to which input may be dropped
        self._depth = -1  # elements open inside the root; -1 until the root opens
        self._builder = ET.TreeBuilder()
        self._done: list[ET.Element | Malformed] = []
        parser.Parse(_ROOT, False)

    def feed(self, data: bytes) -> list[ET.Element | Malformed]:
        """The messages (and skipped stretches) that `data` completes, in stream order."""
        out: list[ET.Element | Malformed] = []
        self._pending += data
        chunk = bytes(data)
        while True:
            try:
                self._parser.Parse(chunk, False)
            except (expat.ExpatError, _Restart) as exc:
                if isinstance(exc, _Restart):
                    index, reason, past = exc.index, exc.reason, exc.past
                else:
                    index, reason, past = self._parser.ErrorByteIndex, expat.ErrorString(exc.code), True
                out += self._done
                chunk = self._restart(index, reason, past, out)
                continue
            break
        out += self._done
        self._done = []
        del self._pending[: self._kept - self._origin]
        self._origin = self._kept
        if len(self._pending) > self._limit:
            out.append(Malformed(f"a message longer than {self._limit} bytes", bytes(self._pending[:80])))
            self._pending.clear()
            self._new_parser()
        return out

    def _restart(self, index: int, reason: str, past: bool, out: list[ET.Element | Malformed]) -> bytes:
        # A new parser starts at the fault when a message begins there, else at the first `<`
        # past it.
        offset = index - self._origin
        if not 0 <= offset <= len(self._pending):
            offset = len(self._pending)
        start = self._pending.find(b"<", offset + 1) if past else offset
        if start < 0:
            start = len(self._pending)
        # Dropped: from the end of the last complete message to the restart point.
        kept = min(max(self._kept - self._origin, 0), start)
        out.append(Malformed(reason, bytes(self._pending[kept:start]).strip()[:80]))
        rest = bytes(self._pending[start:])
        self._pending = bytearray(rest)
        self._new_parser()
        return rest

    def _start(self, tag: str, attrs: dict[str, str]) -> None:
        if self._depth >= 1 and tag in MESSAGE_TAGS:
            raise _Restart(self._parser.CurrentByteIndex, f"<{tag}> inside an unclosed message")
        self._depth += 1
        if self._depth == 0:  # the root
            return
        if self._depth == 1:
            self._builder = ET.TreeBuilder()
        self._builder.start(tag, attrs)

    def _end(self, tag: str) -> None:
        if self._depth <= 0:  # the root itself was closed: a fresh parser takes the rest
            raise _Restart(self._parser.CurrentByteIndex, f"</{tag}> closes the stream", past=True)
        self._depth -= 1
        element = self._builder.end(tag)
        if self._depth == 0:
            self._done.append(element)
            # Everything before this end tag is parsed; the tag's own bytes are few.
            self._kept = self._parser.CurrentByteIndex

    def _text(self, text: str) -> None:
        if self._depth > 0:
            self._builder.data(text)
