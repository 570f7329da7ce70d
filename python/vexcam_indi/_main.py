"""indi_vexcam_ccd: the INDI driver for VEXCAM cameras, as indiserver runs it."""

from __future__ import annotations

import argparse
import logging
import os
import sys

from vexcam_device import Config, ConfigError

from ._driver import Driver


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="indi_vexcam_ccd",
        description="INDI driver for VEXCAM cameras: speaks INDI's XML on standard input and output, "
        "as indiserver starts it; every camera found is a device.",
    )
    parser.add_argument(
        "--config", default=os.environ.get("VEXCAM_CONFIG"),
        help="the cameras' facts file (TOML; default: $VEXCAM_CONFIG, else the simulated SDK's)",
    )  # fmt: skip
    parser.add_argument("--camera", action="append", metavar="ID", help="serve only this camera (repeatable)")
    parser.add_argument("-v", "--verbose", action="count", default=0, help="log more to standard error")
    args = parser.parse_args(argv)
    level = logging.WARNING - 10 * min(args.verbose, 2)
    logging.basicConfig(stream=sys.stderr, level=level, format="indi_vexcam_ccd %(levelname)s: %(message)s")
    try:
        config = Config.load(args.config)
    except ConfigError as exc:
        print(f"indi_vexcam_ccd: {exc}", file=sys.stderr)
        return 2
    output = sys.stdout.buffer
    # The protocol owns standard output: a stray print goes to the log instead.
    sys.stdout = sys.stderr
    os.set_blocking(output.fileno(), True)
    driver = Driver(output, config=config, camera_ids=args.camera)
    driver.run(sys.stdin.buffer)
    return 0
