"""Alpaca's wire rules: error numbers, parameter parsing, and the JSON and ImageBytes replies."""

from __future__ import annotations

import json
import math
import re
import struct
from collections.abc import Mapping
from typing import Any

import numpy as np
from numpy.typing import NDArray

# Alpaca error numbers.
NOT_IMPLEMENTED = 0x400
INVALID_VALUE = 0x401
VALUE_NOT_SET = 0x402
NOT_CONNECTED = 0x407
INVALID_OPERATION = 0x40B
ACTION_NOT_IMPLEMENTED = 0x40C
DRIVER_ERROR = 0x500  # the camera SDK failed: the module's message follows

UINT32_MAX = 2**32 - 1
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
_INTEGER = re.compile(r"[+-]?[0-9]+\Z")
_DECIMAL = re.compile(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?\Z")


class AlpacaError(Exception):
    """An ASCOM error: reported in a 200 reply with its number and message."""

    def __init__(self, number: int, message: str) -> None:
        super().__init__(message)
        self.number = number
        self.message = message


class BadRequest(Exception):
    """A request that is not understood: HTTP 400 with a plain-text body."""


def not_implemented(what: str) -> AlpacaError:
    return AlpacaError(NOT_IMPLEMENTED, f"{what} is not implemented by this camera")


# --- parameters ---


def parse_uint32(text: str, name: str) -> int:
    """ClientID and ClientTransactionID: a whole number from 0 to 2**32 - 1, else 400."""
    text = text.strip()
    if not _INTEGER.match(text) or not 0 <= int(text) <= UINT32_MAX:
        raise BadRequest(f"{name} must be a whole number from 0 to {UINT32_MAX}, not {text!r}")
    return int(text)


def parse_int32(text: str, name: str) -> int:
    stripped = text.strip()
    if not _INTEGER.match(stripped) or not INT32_MIN <= int(stripped) <= INT32_MAX:
        raise BadRequest(f"{name} must be a 32-bit whole number, not {text!r}")
    return int(stripped)


def parse_double(text: str, name: str) -> float:
    stripped = text.strip()
    if not _DECIMAL.match(stripped) or not math.isfinite(value := float(stripped)):
        raise BadRequest(f"{name} must be a number with '.' as decimal point, not {text!r}")
    return value


def parse_bool(text: str, name: str) -> bool:
    lowered = text.strip().lower()
    if lowered not in ("true", "false"):
        raise BadRequest(f"{name} must be true or false, not {text!r}")
    return lowered == "true"


def parse_string(text: str, name: str) -> str:
    return text


class Params:
    """A request's parameters: GET's query keys in any casing, PUT's form keys as spelled."""

    def __init__(self, pairs: list[tuple[str, str]], exact: bool) -> None:
        self._exact = exact
        self._values: dict[str, str] = {}
        for key, value in pairs:
            self._values.setdefault(key if exact else key.lower(), value)

    def get(self, name: str) -> str | None:
        return self._values.get(name if self._exact else name.lower())

    def required(self, name: str) -> str:
        value = self.get(name)
        if value is None:
            raise BadRequest(f"missing parameter {name}")
        return value

    def ids(self) -> tuple[int, int]:
        """(ClientID, ClientTransactionID), 0 for one not sent; a malformed one is a 400."""
        client = self.get("ClientID")
        transaction = self.get("ClientTransactionID")
        return (
            0 if client is None else parse_uint32(client, "ClientID"),
            0 if transaction is None else parse_uint32(transaction, "ClientTransactionID"),
        )


# --- replies ---


NO_VALUE: Any = object()  # a PUT's reply carries no Value


def json_reply(
    client_transaction: int,
    server_transaction: int,
    value: Any = NO_VALUE,
    error: AlpacaError | None = None,
) -> bytes:
    body: dict[str, Any] = {} if value is NO_VALUE or error is not None else {"Value": value}
    body.update(
        ClientTransactionID=client_transaction,
        ServerTransactionID=server_transaction,
        ErrorNumber=0 if error is None else error.number,
        ErrorMessage="" if error is None else error.message,
    )
    return json.dumps(body, separators=(",", ":")).encode()


def ids_tail(client_transaction: int, server_transaction: int) -> bytes:
    """The closing keys of a successful JSON reply, after its value."""
    return (
        b',"ClientTransactionID":%d,"ServerTransactionID":%d,"ErrorNumber":0,"ErrorMessage":""}'
        % (client_transaction, server_transaction)
    )


# ImageBytes: eleven little-endian 32-bit fields, then the data.
IMAGE_BYTES_HEADER = struct.Struct("<11I")
INT32_ELEMENT, BYTE_ELEMENT, UINT16_ELEMENT = 2, 6, 8


def image_bytes_header(
    client_transaction: int, server_transaction: int, transmission: int, width: int, height: int
) -> bytes:
    return IMAGE_BYTES_HEADER.pack(
        1, 0, client_transaction, server_transaction, IMAGE_BYTES_HEADER.size,
        INT32_ELEMENT, transmission, 2, width, height, 0,
    )


def image_bytes_error(client_transaction: int, server_transaction: int, error: AlpacaError) -> bytes:
    header = IMAGE_BYTES_HEADER.pack(
        1, error.number, client_transaction, server_transaction, IMAGE_BYTES_HEADER.size,
        0, 0, 0, 0, 0, 0,
    )
    return header + error.message.encode()


def image_payload(frame: NDArray[Any]) -> tuple[int, memoryview]:
    """A (height, width) frame as ImageBytes data: x outer, y fastest, little-endian."""
    transmission = BYTE_ELEMENT if frame.dtype == np.uint8 else UINT16_ELEMENT
    data = np.ascontiguousarray(frame.T, dtype=frame.dtype.newbyteorder("<"))
    return transmission, memoryview(data).cast("B")


def image_json_value(frame: NDArray[Any]) -> bytes:
    """The JSON ImageArray's opening keys and value, x outer, without the closing keys."""
    rows = ("[" + ",".join(map(str, column)) + "]" for column in frame.T.tolist())
    return b'{"Type":2,"Rank":2,"Value":[' + ",".join(rows).encode() + b"]"


def accepts_image_bytes(headers: Mapping[str, str]) -> bool:
    """Whether the Accept header lists application/imagebytes (a list, with parameters)."""
    accept = headers.get("Accept", "")
    return any(part.split(";")[0].strip().lower() == "application/imagebytes" for part in accept.split(","))
