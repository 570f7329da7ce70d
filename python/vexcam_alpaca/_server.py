"""The HTTP side: Alpaca's device and management API, setup pages, and the discovery responder."""

from __future__ import annotations

import asyncio
import concurrent.futures
import logging
import socket
import sys
import threading
import uuid
from collections.abc import Awaitable, Callable, Sequence
from typing import Any
from urllib.parse import parse_qsl

from aiohttp import web

from . import _setup
from ._camera import GET_MEMBERS, PUT_FIELDS, AlpacaCamera, Image, version
from ._protocol import (
    DRIVER_ERROR,
    NO_VALUE,
    AlpacaError,
    BadRequest,
    Params,
    accepts_image_bytes,
    ids_tail,
    image_bytes_error,
    image_bytes_header,
    json_reply,
)

# Request bodies are a few form fields; anything larger is refused with 413.
MAX_BODY = 16 * 1024
DISCOVERY_MESSAGE = b"alpacadiscovery1"
MAX_DISCOVERY_MESSAGE = 64
_UNIQUE_ID_NAMESPACE = uuid.UUID("5b8f2d6e-3c1a-4e8b-9f0d-7a6c5e4b3a21")
_IMAGE_MEMBERS = ("imagearray", "imagearrayvariant")


def unique_id(camera_id: str) -> str:
    """The same for one camera on every run and interface, different for every other id."""
    return str(uuid.uuid5(_UNIQUE_ID_NAMESPACE, f"vexcam camera {camera_id}"))


class _OneLine(logging.Formatter):
    """Library messages on one line each: what failed, never a traceback."""

    def format(self, record: logging.LogRecord) -> str:
        text = f"vexcam-alpaca: {record.getMessage()}"
        if record.exc_info and record.exc_info[1] is not None:
            text += f": {type(record.exc_info[1]).__name__}: {record.exc_info[1]}"
        return text


def _quiet_libraries() -> None:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_OneLine())
    for name in ("aiohttp", "asyncio"):
        logger = logging.getLogger(name)
        logger.handlers[:] = [handler]
        logger.propagate = False
        logger.setLevel(logging.ERROR)


class _Discovery(asyncio.DatagramProtocol):
    def __init__(self, reply: bytes) -> None:
        self.reply = reply
        self.transport: asyncio.DatagramTransport | None = None

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.DatagramTransport)
        self.transport = transport

    def datagram_received(self, data: bytes, addr: tuple[Any, ...]) -> None:
        # The 16-byte query; clients may add up to 48 reserved bytes, which are ignored.
        if data[:16] == DISCOVERY_MESSAGE and len(data) <= MAX_DISCOVERY_MESSAGE and self.transport:
            self.transport.sendto(self.reply, addr)

    def error_received(self, exc: Exception) -> None:
        pass  # an unreachable sender: nothing to answer


def discovery_socket(host: str, port: int) -> socket.socket:
    """A UDP socket on `host`:`port`, shared with other Alpaca servers on this machine."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_DGRAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if hasattr(socket, "SO_REUSEPORT"):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        sock.bind((host, port))
        sock.setblocking(False)
    except OSError:
        sock.close()
        raise
    return sock


class Server:
    """Serves `cameras` (device numbers 0, 1, ... in order) over Alpaca on an event loop thread.

    `start()` returns once the HTTP port (and the discovery port, unless None) is bound;
    `stop()` ends the loop, waits for running exposures and closes every camera.
    """

    def __init__(
        self,
        cameras: Sequence[AlpacaCamera],
        host: str = "127.0.0.1",
        port: int = 11111,
        discovery_port: int | None = 32227,
    ) -> None:
        self.cameras = list(cameras)
        self.host, self.port, self.discovery_port = host, port, discovery_port
        self._transaction = 0
        self._pool = concurrent.futures.ThreadPoolExecutor(32, thread_name_prefix="alpaca")
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._runner: web.AppRunner | None = None
        self._discovery: asyncio.DatagramTransport | None = None
        self.discovery_error: OSError | None = None

    # --- running ---

    def start(self) -> None:
        _quiet_libraries()
        ready = concurrent.futures.Future[None]()
        self._thread = threading.Thread(target=self._run, args=(ready,), name="alpaca-http", daemon=True)
        self._thread.start()
        ready.result()

    def _run(self, ready: concurrent.futures.Future[None]) -> None:
        loop = self._loop = asyncio.new_event_loop()
        loop.set_exception_handler(lambda _loop, context: logging.getLogger("asyncio").error(
            context.get("message", "event loop error"), exc_info=context.get("exception")))
        try:
            loop.run_until_complete(self._open())
        except BaseException as exc:  # noqa: BLE001 - handed to start()'s caller
            ready.set_exception(exc)
            loop.close()
            return
        ready.set_result(None)
        try:
            loop.run_forever()
        finally:
            loop.run_until_complete(self._close())
            loop.close()

    async def _open(self) -> None:
        app = web.Application(client_max_size=MAX_BODY)
        app.router.add_route("*", "/api/v1/{device_type}/{device_number}/{member}", self._api)
        app.router.add_get("/management/apiversions", self._management(lambda: [1]))
        app.router.add_get("/management/v1/description", self._management(self._description))
        app.router.add_get("/management/v1/configureddevices", self._management(self._devices))
        app.router.add_get("/setup", self._setup_index)
        app.router.add_get("/setup/v1/camera/{device_number}/setup", self._setup_camera)
        app.router.add_get("/setup/v1/camera/{device_number}/preview.png", self._preview)
        app.router.add_route("*", "/{tail:.*}", self._unknown)
        self._runner = web.AppRunner(app, access_log=None, handle_signals=False)
        await self._runner.setup()
        site = web.TCPSite(self._runner, self.host, self.port, reuse_address=True)
        await site.start()
        self.port = self._runner.addresses[0][1]
        if self.discovery_port is not None:
            try:
                sock = discovery_socket(self.host, self.discovery_port)
            except OSError as exc:
                self.discovery_error = exc
                return
            self.discovery_port = sock.getsockname()[1]
            reply = b'{"AlpacaPort":%d}' % self.port
            transport, _ = await asyncio.get_running_loop().create_datagram_endpoint(
                lambda: _Discovery(reply), sock=sock
            )
            self._discovery = transport

    async def _close(self) -> None:
        if self._discovery is not None:
            self._discovery.close()
        if self._runner is not None:
            await self._runner.cleanup()

    def stop(self) -> None:
        """Stops serving, then waits for running exposures and closes the cameras."""
        loop, thread = self._loop, self._thread
        if loop is not None and thread is not None and thread.is_alive():
            loop.call_soon_threadsafe(loop.stop)
            thread.join()
        self._pool.shutdown(wait=True)
        for camera in self.cameras:
            if camera.exposing():
                print(f"vexcam-alpaca: waiting for camera {camera.number}'s exposure to end: "
                      "the SDK cannot cancel it", file=sys.stderr, flush=True)
            camera.shutdown()

    # --- helpers ---

    def _next_transaction(self) -> int:
        self._transaction = self._transaction % 0xFFFFFFFF + 1  # 1 to 2**32 - 1, never 0
        return self._transaction

    async def _in_pool(self, work: Callable[..., Any], *args: Any) -> Any:
        return await asyncio.get_running_loop().run_in_executor(self._pool, work, *args)

    def _camera(self, text: str) -> AlpacaCamera:
        if not text.isdigit() or not text.isascii() or int(text) >= len(self.cameras):
            raise BadRequest(f"no camera {text!r}: device numbers are 0 to {len(self.cameras) - 1}")
        return self.cameras[int(text)]

    @staticmethod
    def _bad_request(message: str, status: int = 400) -> web.Response:
        return web.Response(status=status, text=message)

    @staticmethod
    def _json(body: bytes) -> web.Response:
        return web.Response(body=body, content_type="application/json")

    # --- the device API ---

    async def _api(self, request: web.Request) -> web.StreamResponse:
        member = request.match_info["member"]
        method = {"GET": "get", "HEAD": "get", "PUT": "put"}.get(request.method, "")
        try:
            if request.match_info["device_type"] != "camera":
                raise BadRequest(f"no device type {request.match_info['device_type']!r}: this server has cameras")
            camera = self._camera(request.match_info["device_number"])
            if not (method == "get" and member in GET_MEMBERS or method == "put" and member in PUT_FIELDS):
                if member in GET_MEMBERS or member in PUT_FIELDS:
                    return self._bad_request(f"{member} does not take {request.method}", 405)
                raise BadRequest(f"no camera member {member!r}")
            if method == "get":
                params = Params(list(request.query.items()), exact=False)
                fields: tuple[Any, ...] = ()
            else:
                try:
                    text = (await request.read()).decode("utf-8")
                except UnicodeDecodeError:
                    raise BadRequest("the form body is not UTF-8") from None
                params = Params(parse_qsl(text, keep_blank_values=True), exact=True)
                fields = PUT_FIELDS[member]
            client_transaction = params.ids()[1]
            values = tuple(parse(params.required(name), name) for name, parse in fields)
        except BadRequest as exc:
            return self._bad_request(str(exc))
        except web.HTTPRequestEntityTooLarge:
            return self._bad_request(f"request body over {MAX_BODY} bytes", 413)
        server_transaction = self._next_transaction()
        if member in _IMAGE_MEMBERS:
            return await self._image(request, camera, client_transaction, server_transaction)
        try:
            value = await self._in_pool(camera.call, method, member, values)
        except AlpacaError as exc:
            return self._json(json_reply(client_transaction, server_transaction, error=exc))
        except Exception as exc:  # noqa: BLE001 - a fault of ours is reported, never a 500
            error = AlpacaError(DRIVER_ERROR, f"internal error: {type(exc).__name__}: {exc}")
            return self._json(json_reply(client_transaction, server_transaction, error=error))
        if method == "put" and member != "action":
            value = NO_VALUE
        return self._json(json_reply(client_transaction, server_transaction, value))

    async def _image(
        self, request: web.Request, camera: AlpacaCamera, client_transaction: int, server_transaction: int
    ) -> web.StreamResponse:
        binary = accepts_image_bytes(request.headers)
        try:
            image: Image = await self._in_pool(camera.call, "get", "imagearray", ())
            value = None if binary else await self._in_pool(image.json_value)
        except AlpacaError as exc:
            if binary:
                body = image_bytes_error(client_transaction, server_transaction, exc)
                return web.Response(body=body, content_type="application/imagebytes")
            return self._json(json_reply(client_transaction, server_transaction, error=exc))
        response = web.StreamResponse(headers={"Content-Type": "application/imagebytes" if binary else "application/json"})
        if binary:
            width, height = image.size
            head = image_bytes_header(client_transaction, server_transaction, image.transmission, width, height)
            parts: tuple[bytes | memoryview, ...] = (head, image.payload)
        else:
            assert value is not None
            parts = (value, ids_tail(client_transaction, server_transaction))
        response.content_length = sum(len(part) for part in parts)
        await response.prepare(request)
        for part in parts:
            await response.write(part)
        await response.write_eof()
        return response

    # --- management ---

    def _management(self, value: Callable[[], Any]) -> Callable[[web.Request], Awaitable[web.Response]]:
        async def handle(request: web.Request) -> web.Response:
            try:
                client_transaction = Params(list(request.query.items()), exact=False).ids()[1]
            except BadRequest as exc:
                return self._bad_request(str(exc))
            return self._json(json_reply(client_transaction, self._next_transaction(), value()))

        return handle

    def _description(self) -> dict[str, str]:
        return {
            "ServerName": "vexcam Alpaca server",
            "Manufacturer": "vexcam",
            "ManufacturerVersion": version(),
            "Location": socket.gethostname(),
        }

    def _devices(self) -> list[dict[str, Any]]:
        return [
            {
                "DeviceName": camera.get_name(),
                "DeviceType": "Camera",
                "DeviceNumber": camera.number,
                "UniqueID": unique_id(camera.device.id),
            }
            for camera in self.cameras
        ]

    # --- setup pages ---

    async def _setup_index(self, request: web.Request) -> web.Response:
        page = _setup.index_page(self.cameras, [unique_id(c.device.id) for c in self.cameras])
        return web.Response(text=page, content_type="text/html")

    async def _setup_camera(self, request: web.Request) -> web.Response:
        try:
            camera = self._camera(request.match_info["device_number"])
        except BadRequest as exc:
            return self._bad_request(str(exc))
        page = await self._in_pool(_setup.camera_page, camera, unique_id(camera.device.id))
        return web.Response(text=page, content_type="text/html")

    async def _preview(self, request: web.Request) -> web.Response:
        try:
            camera = self._camera(request.match_info["device_number"])
        except BadRequest as exc:
            return self._bad_request(str(exc))
        image = camera.last_image()
        if image is None:
            return web.Response(status=404, text="no image yet")
        png = await self._in_pool(_setup.preview_png, image.record.frame)
        return web.Response(body=png, content_type="image/png")

    async def _unknown(self, request: web.Request) -> web.Response:
        return self._bad_request(f"no such resource: {request.method} {request.path}")
