"""INDI property vectors: members, values and state, and the XML that defines and updates them."""

from __future__ import annotations

import math
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import Literal, Union

IDLE, OK, BUSY, ALERT = "Idle", "Ok", "Busy", "Alert"
Kind = Literal["Number", "Switch", "Text", "BLOB"]


class Refused(Exception):
    """A client's request that cannot be carried out; the message goes back with state Alert."""


@dataclass
class Number:
    name: str
    label: str
    value: float = 0.0
    min: float = 0.0
    max: float = 0.0
    step: float = 0.0
    format: str = "%g"


@dataclass
class Switch:
    name: str
    label: str
    on: bool = False


@dataclass
class Text:
    name: str
    label: str
    text: str = ""


@dataclass
class Blob:
    name: str
    label: str


Member = Union[Number, Switch, Text, Blob]
_ONE = {"Number": "oneNumber", "Switch": "oneSwitch", "Text": "oneText", "BLOB": "oneBLOB"}
_DEF = {"Number": "defNumber", "Switch": "defSwitch", "Text": "defText", "BLOB": "defBLOB"}


def timestamp() -> str:
    return datetime.now(UTC).strftime("%Y-%m-%dT%H:%M:%S")


def number_text(value: float) -> str:
    return f"{value:.15g}" if math.isfinite(value) else "0"


def _xml(element: ET.Element) -> bytes:
    return ET.tostring(element, encoding="unicode").encode("utf-8") + b"\n"


def message_xml(device: str | None, text: str) -> bytes:
    """A <message>, to the device's clients (or to all, without a device)."""
    attrs = {"timestamp": timestamp(), "message": text}
    if device is not None:
        attrs = {"device": device, **attrs}
    return _xml(ET.Element("message", attrs))


class Vector:
    """One property: its members, in order, and the state and permission clients see."""

    def __init__(
        self,
        device: str,
        name: str,
        label: str,
        group: str,
        kind: Kind,
        members: list[Member],
        *,
        perm: str = "rw",
        rule: str = "OneOfMany",
        timeout: float = 60,
        state: str = IDLE,
    ) -> None:
        self.device, self.name, self.label, self.group, self.kind = device, name, label, group, kind
        self.members = {m.name: m for m in members}
        self.perm, self.rule, self.timeout, self.state = perm, rule, timeout, state

    def __getitem__(self, name: str) -> Member:
        return self.members[name]

    def number(self, name: str) -> float:
        member = self.members[name]
        assert isinstance(member, Number)
        return member.value

    def set_numbers(self, **values: float) -> None:
        for name, value in values.items():
            member = self.members[name]
            assert isinstance(member, Number)
            member.value = float(value)

    def choose(self, name: str) -> None:
        """Turns `name` on and every other switch off."""
        for member in self.members.values():
            assert isinstance(member, Switch)
            member.on = member.name == name

    def chosen(self) -> str | None:
        return next((m.name for m in self.members.values() if isinstance(m, Switch) and m.on), None)

    def set_text(self, **values: str) -> None:
        for name, value in values.items():
            member = self.members[name]
            assert isinstance(member, Text)
            member.text = value

    def text(self, name: str) -> str:
        member = self.members[name]
        assert isinstance(member, Text)
        return member.text

    def _value(self, member: Member) -> str:
        if isinstance(member, Number):
            return number_text(member.value)
        if isinstance(member, Switch):
            return "On" if member.on else "Off"
        if isinstance(member, Text):
            return member.text
        return ""

    def definition(self) -> bytes:
        attrs = {
            "device": self.device, "name": self.name, "label": self.label, "group": self.group,
            "state": self.state, "perm": self.perm, "timeout": number_text(self.timeout),
            "timestamp": timestamp(),
        }  # fmt: skip
        if self.kind == "Switch":
            attrs["rule"] = self.rule
        root = ET.Element(f"def{self.kind}Vector", attrs)
        for member in self.members.values():
            one = ET.SubElement(root, _DEF[self.kind], {"name": member.name, "label": member.label})
            if isinstance(member, Number):
                one.attrib.update(format=member.format, min=number_text(member.min),
                                  max=number_text(member.max), step=number_text(member.step))  # fmt: skip
            one.text = self._value(member)
        return _xml(root)

    def update(self, message: str | None = None) -> bytes:
        """A set message carrying every member's value and the state, with `message` if given."""
        attrs = {"device": self.device, "name": self.name, "state": self.state, "timestamp": timestamp()}
        if message:
            attrs["message"] = message
        root = ET.Element(f"set{self.kind}Vector", attrs)
        if self.kind != "BLOB":
            for member in self.members.values():
                ET.SubElement(root, _ONE[self.kind], {"name": member.name}).text = self._value(member)
        return _xml(root)

    def deletion(self) -> bytes:
        return _xml(ET.Element("delProperty", {"device": self.device, "name": self.name, "timestamp": timestamp()}))


def parse_number(text: str, what: str) -> float:
    """A client's number: decimal, or sexagesimal as INDI allows ("-12:30:00")."""
    text = text.strip()
    try:
        if ":" not in text:
            value = float(text)
        else:
            parts = [float(p) for p in text.replace(" ", ":").split(":")]
            sign = -1.0 if text.startswith("-") else 1.0
            value = sign * sum(abs(p) / 60**i for i, p in enumerate(parts))
    except ValueError:
        raise Refused(f"{what}: {text!r} is not a number") from None
    if not math.isfinite(value):
        raise Refused(f"{what}: {text!r} is not a finite number")
    return value


def parse_switch(text: str, what: str) -> bool:
    state = text.strip()
    if state not in ("On", "Off"):
        raise Refused(f"{what}: {state!r} is neither On nor Off")
    return state == "On"
