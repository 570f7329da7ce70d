# The driver as indiserver runs it, driven by INDI's own programs and by a socket client of ours.
import io
import os
import shlex
import shutil
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vexcam
from conftest import M8, M16, ramp_frame
from indi_client import BAD_INPUT, WAIT_S, Messages, SocketClient, blob_bytes, new_vector, values

fits = pytest.importorskip("astropy.io.fits", reason="astropy is not installed: pip install 'vexcam[indi]'")
from vexcam_indi import device_name  # noqa: E402

TOOLS = ("indiserver", "indi_setprop", "indi_getprop", "indi_eval")
pytestmark = pytest.mark.skipif(
    sys.platform == "win32" or any(shutil.which(tool) is None for tool in TOOLS),
    reason="INDI's programs are not installed (Debian's indi-bin; make test installs it)",
)


def driver_executable(directory):
    """The installed console script; from a source tree, a script that runs this interpreter."""
    installed = shutil.which("indi_vexcam_ccd", path=os.path.dirname(sys.executable))
    if installed:
        return installed
    script = directory / "indi_vexcam_ccd"
    script.write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)} -m vexcam_indi "$@"\n')
    script.chmod(0o755)
    return str(script)


class Server:
    def __init__(self, port, directory):
        self.port, self.directory = port, directory

    def run(self, tool, *args, check=True, wait=20):
        done = subprocess.run([tool, "-h", "127.0.0.1", "-p", str(self.port), "-t", str(wait), *args],
                              capture_output=True, text=True, timeout=120)  # fmt: skip
        assert not check or done.returncode == 0, (tool, args, done.stdout, done.stderr)
        return done

    def set(self, *assignments):
        for assignment in assignments:
            self.run("indi_setprop", assignment)

    def wait_until(self, expression):
        self.run("indi_eval", "-w", expression)

    def get(self, element):
        return self.run("indi_getprop", "-1", element).stdout.strip()

    def connect(self, device):
        self.set(f"{device}.CONNECTION.CONNECT=On")
        self.wait_until(f'"{device}.CONNECTION.CONNECT"==1 && "{device}.CONNECTION._STATE"==1')  # Ok: opened


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    directory = tmp_path_factory.mktemp("indi")
    driver = driver_executable(directory)
    for attempt in range(5):  # another program may take the free port first
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        log = open(directory / f"indiserver-{attempt}.log", "wb")
        process = subprocess.Popen(["indiserver", "-v", "-r", "0", "-p", str(port), "-u",
                                    str(directory / f"local-{attempt}"), driver],
                                   stdout=subprocess.DEVNULL, stderr=log)  # fmt: skip
        ready = Server(port, directory)
        deadline = time.monotonic() + WAIT_S
        while process.poll() is None and time.monotonic() < deadline:
            if ready.run("indi_getprop", f"{device_name(M8)}.CONNECTION.CONNECT", check=False).returncode == 0:
                break
            time.sleep(0.2)
        if process.poll() is None:
            break
        log.close()
    else:
        pytest.fail(f"indiserver did not start: see {directory}")
    yield ready
    process.terminate()
    process.wait(WAIT_S)
    log.close()


def test_every_camera_is_a_device(server, sim):
    # A pattern has no end: indi_getprop lists what arrives within its wait.
    listed = server.run("indi_getprop", "*.CONNECTION.CONNECT", wait=2).stdout.splitlines()
    assert sorted(line.split(".")[0] for line in listed) == sorted(map(device_name, vexcam.scan_cameras()))


def test_an_exposure_arrives_as_fits_with_its_settings_and_pixels(server, sim, tmp_path):
    dev = device_name(M8)
    client = SocketClient(server.port, dev)
    try:
        server.connect(dev)
        server.set(f"{dev}.CCD_BINNING.HOR_BIN;VER_BIN=2;2", f"{dev}.CCD_FRAME.X;Y;WIDTH;HEIGHT=64;32;640;480",
                   f"{dev}.CCD_GAIN.GAIN=25", f"{dev}.CCD_OFFSET.OFFSET=12", f"{dev}.CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE=-10",
                   f"{dev}.CCD_FRAME_TYPE.FRAME_FLAT=On", f"{dev}.VEXCAM_CONTROL.CONTROL;VALUE=40;1")  # fmt: skip
        server.wait_until(f'"{dev}.CCD_TEMPERATURE._STATE"==1')  # the setpoint is reached
        since = client.mark()
        server.set(f"{dev}.CCD_EXPOSURE.CCD_EXPOSURE_VALUE=2")
        blob = client.wait("setBLOBVector", "CCD1", since)
        client.wait("setNumberVector", "CCD_EXPOSURE", since, state="Ok")
    finally:
        client.close()
    countdown = [float(values(m)["CCD_EXPOSURE_VALUE"]) for m in client.received[since:]
                 if m.get("name") == "CCD_EXPOSURE" and m.get("state") == "Busy"]  # fmt: skip
    assert countdown[0] == 2 and any(0 < left < 2 for left in countdown)
    data = blob_bytes(blob)
    assert blob[0].get("format") == ".fits"
    with fits.open(io.BytesIO(data)) as hdul:
        hdul.verify("exception")
        header = hdul[0].header
        expected = {
            "BITPIX": 8, "NAXIS1": 320, "NAXIS2": 240, "EXPTIME": 2, "XBINNING": 2, "YBINNING": 2,
            "XORGSUBF": 32, "YORGSUBF": 16, "XPIXSZ": 7.5, "GAIN": 25, "OFFSET": 12, "CCD-TEMP": -10,
            "SET-TEMP": -10, "IMAGETYP": "Flat Frame", "FRAME": "Flat", "INSTRUME": M8, "ROWORDER": "TOP-DOWN",
        }  # fmt: skip
        assert {key: header.get(key) for key in expected} == expected
        assert np.array_equal(hdul[0].data, ramp_frame(M8, 2, (64, 32, 640, 480)))
    if shutil.which("fitsverify"):
        (tmp_path / "frame.fits").write_bytes(data)
        done = subprocess.run(["fitsverify", "-e", str(tmp_path / "frame.fits")], capture_output=True, text=True)
        assert done.returncode == 0, done.stdout
    # Refused through the server too, as INDI's tools see it: Alert, the value unchanged.
    server.set(f"{dev}.CCD_GAIN.GAIN=1000")
    server.wait_until(f'"{dev}.CCD_GAIN._STATE"==3')
    assert server.get(f"{dev}.CCD_GAIN.GAIN") == "25"


@pytest.mark.parametrize("mode", ["UPLOAD_LOCAL", "UPLOAD_BOTH"])
def test_upload_to_a_local_directory(server, sim, tmp_path, mode):
    dev = device_name(M16)
    client = SocketClient(server.port, dev)
    try:
        server.connect(dev)
        prefix = f"{mode.lower()}_XXX"
        server.set(f"{dev}.CCD_BINNING.HOR_BIN;VER_BIN=4;4", f"{dev}.VEXCAM_CONTROL.CONTROL;VALUE=40;1",
                   f"{dev}.UPLOAD_MODE.{mode}=On", f"{dev}.UPLOAD_SETTINGS.UPLOAD_DIR;UPLOAD_PREFIX={tmp_path};{prefix}")
        since = client.mark()
        server.set(f"{dev}.CCD_EXPOSURE.CCD_EXPOSURE_VALUE=0.01")
        client.wait("setNumberVector", "CCD_EXPOSURE", since, state="Ok")
    finally:
        client.close()
    path = server.get(f"{dev}.CCD_FILE_PATH.FILE_PATH")
    assert path == str(tmp_path / f"{mode.lower()}_001.fits")
    with fits.open(path) as hdul:
        assert hdul[0].header["BZERO"] == 32768 and hdul[0].header["XPIXSZ"] == 26
        assert np.array_equal(hdul[0].data, ramp_frame(M16, 4, (0, 0, 2048, 2048)))
    blobs = [blob_bytes(m) for m in client.received[since:] if m.tag == "setBLOBVector"]
    with open(path, "rb") as file:
        assert blobs == ([file.read()] if mode == "UPLOAD_BOTH" else [])


def test_bad_input_on_standard_input_then_it_closes(tmp_path, sim):
    """Straight to the driver's pipes: it answers after bad input, and exits when input closes."""
    dev = device_name(M8)
    driver = subprocess.Popen([driver_executable(tmp_path), "--camera", M8], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)  # fmt: skip
    out = Messages()

    def read():
        while chunk := driver.stdout.read1(1 << 16):
            out.write(chunk)

    reader = threading.Thread(target=read)
    reader.start()
    try:
        driver.stdin.write(b"".join(BAD_INPUT) + new_vector("Switch", dev, "CONNECTION", CONNECT="On"))
        driver.stdin.flush()
        out.wait("setSwitchVector", "CONNECTION", state="Ok")
        driver.stdin.write(new_vector("Number", dev, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=600))
        driver.stdin.flush()
        out.wait("setNumberVector", "CCD_EXPOSURE", state="Busy")
        driver.stdin.close()  # in the middle of an exposure the SDK cannot cancel
        assert driver.wait(WAIT_S) == 0
    finally:
        driver.kill()
        reader.join(WAIT_S)
    assert b"Traceback" not in driver.stderr.read()
