"""vexcam-alpaca: serves VEXCAM cameras to ASCOM Alpaca clients until Ctrl-C or SIGTERM."""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from collections.abc import Sequence

import vexcam
from vexcam_device import Config, ConfigError, Device

from ._camera import AlpacaCamera
from ._server import Server


def _arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="vexcam-alpaca",
        description="Serve VEXCAM cameras over ASCOM Alpaca. Alpaca has no authentication: "
        "serve beyond this machine (--host) only on a network you trust.",
    )
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)")
    parser.add_argument("--port", type=int, default=11111, help="HTTP port (default 11111; 0 picks a free one)")
    parser.add_argument("--camera", action="append", metavar="ID",
                        help="serve this camera (repeatable; default every camera found, in scan order)")
    parser.add_argument("--discovery-port", type=int, default=32227, help="UDP discovery port (default 32227)")
    parser.add_argument("--no-discovery", action="store_true", help="do not answer discovery queries")
    parser.add_argument("--config", metavar="FILE", help="camera facts for the vendor's SDK (TOML)")
    args = parser.parse_args(argv)
    for name in ("port", "discovery_port"):
        if not 0 <= getattr(args, name) <= 65535:
            parser.error(f"--{name.replace('_', '-')} must be from 0 to 65535")
    return args


def _fail(message: str, code: int = 2) -> int:
    print(f"vexcam-alpaca: {message}", file=sys.stderr)
    return code


def main(argv: Sequence[str] | None = None) -> int:
    args = _arguments(argv)
    stop = threading.Event()
    for name in ("SIGINT", "SIGTERM", "SIGBREAK"):  # SIGBREAK: CTRL_BREAK on Windows
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), lambda _signum, _frame: stop.set())
    try:
        config = Config.load(args.config)
    except ConfigError as exc:
        return _fail(str(exc))
    try:
        found = vexcam.scan_cameras()
    except RuntimeError as exc:
        return _fail(f"cannot list the cameras: {exc}", 1)
    ids = args.camera or found
    if missing := [i for i in ids if i not in found]:
        return _fail(f"no camera {missing[0]!r}; found: {', '.join(found) or 'none'}")
    if not ids:
        return _fail("no VEXCAM camera found", 1)
    cameras = [AlpacaCamera(n, Device(camera_id, config)) for n, camera_id in enumerate(ids)]
    server = Server(cameras, args.host, args.port, None if args.no_discovery else args.discovery_port)
    try:
        server.start()
    except OSError as exc:
        return _fail(f"cannot listen on {args.host}:{args.port}: {exc.strerror or exc}", 1)
    host = f"[{args.host}]" if ":" in args.host else args.host
    print(f"vexcam-alpaca: serving {len(ids)} camera(s) at http://{host}:{server.port}/api/v1/camera/0"
          f"{'' if len(ids) == 1 else f' to {len(ids) - 1}'}, setup at http://{host}:{server.port}/setup",
          flush=True)
    if server.discovery_error is not None:
        print(f"vexcam-alpaca: discovery is off: cannot open UDP port {args.discovery_port}: "
              f"{server.discovery_error.strerror or server.discovery_error}", file=sys.stderr, flush=True)
    elif not args.no_discovery:
        print(f"vexcam-alpaca: answering discovery on UDP port {server.discovery_port}", flush=True)
    while not stop.wait(0.25):  # a timed wait lets signal handlers run on every platform
        pass
    server.stop()
    print("vexcam-alpaca: stopped, cameras closed", flush=True)
    return 0


def run() -> None:
    try:
        sys.exit(main())
    except KeyboardInterrupt:  # a Ctrl-C before the handlers were in place
        sys.exit(130)


if __name__ == "__main__":
    run()
