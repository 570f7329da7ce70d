"""INDI's byte stream cut into its top-level messages by expat, incrementally, surviving bad input."""

from __future__ import annotations

import re
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
# After a fault a new parser starts at the next client message: only stray bytes are skipped.
_RESUME = re.compile(b"<(?:" + b"|".join(t.encode() for t in sorted(MESSAGE_TAGS)) + rb")[\s/>]")
_LONGEST_TAG = max(map(len, MESSAGE_TAGS)) + 2


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

    After malformed input it starts a new parser at the next client message past the fault, so
    whatever completed before the fault has been returned and whatever follows it is still read.
    Only the bytes since the last complete message are kept, for such a restart.
    """

    def __init__(self, limit: int = MAX_MESSAGE) -> None:
        self._limit = limit
        self._pending = bytearray()  # input since the end of the last complete message
        self._kept = 0  # where in _pending the unfinished input begins
        self._done: list[ET.Element | Malformed] = []
        self._new_parser(0)

    def _new_parser(self, base: int) -> None:
        """A parser that reads _pending from `base` on; its root comes first."""
        parser = expat.ParserCreate("UTF-8")
        parser.buffer_text = True
        if hasattr(parser, "SetReparseDeferralEnabled"):
            # Expat 2.6 and later hold back a token that arrives in small pieces until more input
            # comes; a client's last message must be answered now, not after its next one.
            parser.SetReparseDeferralEnabled(False)
        parser.StartElementHandler = self._start
        parser.EndElementHandler = self._end
        parser.CharacterDataHandler = self._text
        self._parser, self._base = parser, base
        self._depth = -1  # elements open inside the root; -1 until the root opens
        self._builder = ET.TreeBuilder()
        parser.Parse(_ROOT, False)

    def _position(self, index: int) -> int:
        """Where the parser's byte `index` lies in _pending."""
        return self._base + index - len(_ROOT)

    def feed(self, data: bytes) -> list[ET.Element | Malformed]:
        """The messages (and skipped stretches) that `data` completes, in stream order."""
        out: list[ET.Element | Malformed] = []
        start = len(self._pending)  # the parser has seen everything before
        self._pending += data
        while True:
            try:
                # A view, not a copy: after a fault the rest is parsed again from the restart.
                with memoryview(self._pending) as whole, whole[start:] as rest:
                    self._parser.Parse(rest, False)
            except (expat.ExpatError, _Restart) as exc:
                if isinstance(exc, _Restart):
                    index, reason, past = exc.index, exc.reason, exc.past
                else:
                    index, reason, past = self._parser.ErrorByteIndex, expat.ErrorString(exc.code), True
                out += self._done
                self._done = []
                start = self._restart(self._position(index), reason, past, out)
                continue
            break
        out += self._done
        self._done = []
        del self._pending[: self._kept]
        self._base -= self._kept
        self._kept = 0
        if len(self._pending) > self._limit:
            out.append(Malformed(f"a message longer than {self._limit} bytes", bytes(self._pending[:80])))
            self._pending.clear()
            self._new_parser(0)
        return out

    def _restart(self, position: int, reason: str, past: bool, out: list[ET.Element | Malformed]) -> int:
        """Drops the input up to the next message at or past the fault; a new parser reads on
        from there. Returns where."""
        position = min(max(position, self._kept), len(self._pending))
        start = position
        if past:
            # Expat may place the fault on the `<` of the next good message: that one is kept,
            # unless this parser began there (each restart must move on).
            low = position if position > self._base else position + 1
            found = _RESUME.search(self._pending, low)
            start = found.start() if found else len(self._pending)
            last = self._pending.rfind(b"<", low)
            if not found and last >= 0 and len(self._pending) - last < _LONGEST_TAG:
                start = last  # perhaps a message's first bytes, the rest still to come
        dropped = bytes(self._pending[self._kept : min(start, self._kept + 200)]).strip()[:80]
        out.append(Malformed(reason, dropped))
        self._kept = start
        self._new_parser(start)
        return start

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
            self._kept = self._position(self._parser.CurrentByteIndex)

    def _text(self, text: str) -> None:
        if self._depth > 0:
            self._builder.data(text)
