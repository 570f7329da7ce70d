# The cameras as ASCOM Alpaca devices (vexcam_alpaca), driven by the ASCOM Initiative's own
# Python client and by raw HTTP, on 127.0.0.1 only. Alpyca's discovery search broadcasts on
# every adapter: it is never called here; discovery is tested with a datagram to 127.0.0.1.
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time
from importlib import resources

import numpy as np
import pytest

pytest.importorskip("aiohttp", reason="the alpaca extra is not installed: make test installs it")
requests = pytest.importorskip("requests")
from alpaca import exceptions as ascom
from alpaca.camera import Camera as AlpycaCamera

from conftest import M8, M16, ramp_frame
from vexcam_alpaca import AlpacaCamera, Server, unique_id
from vexcam_alpaca._server import discovery_socket
from vexcam_device import Config, Device

M12 = "VXSIM-M12-003"
SERVED = (M8, M16, M12)
EXPOSE = "ExpVEXCAMSingleFrame"
IMAGE_BYTES = {"Accept": "application/imagebytes"}


@pytest.fixture
def server(sim):
    served = Server([AlpacaCamera(n, Device(i)) for n, i in enumerate(SERVED)], port=0, discovery_port=0)
    served.start()
    yield served
    served.stop()


@pytest.fixture
def url(server):
    return f"http://127.0.0.1:{server.port}"


@pytest.fixture
def client(server):
    """`client(n)`: alpyca's camera n, connected."""
    made = []

    def connect(number=0):
        made.append(cam := AlpycaCamera(f"127.0.0.1:{server.port}", number))
        cam.Connected = True
        return cam

    yield connect
    for cam in made:
        cam.Connected = False


def wait_ready(cam, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not cam.ImageReady:
        assert cam.CameraState != 5, "the exposure failed"
        assert time.monotonic() < deadline, "no image"
        time.sleep(0.005)


def image_bytes(response):
    """(header fields, data) of an ImageBytes reply."""
    fields = struct.unpack_from("<11I", response.content)
    return fields, response.content[fields[4]:]


# --- images ---


@pytest.mark.parametrize("number, binning, subframe", [
    (0, 1, (0, 0, 1280, 960)),  # 8 bits, the whole sensor
    (0, 4, (1, 2, 317, 237)),  # up to the binned sensor's last column and row
    (1, 2, (3, 5, 100, 50)),  # 16 bits, an origin off the 2x2 grid in sensor pixels
    (2, 4, (7, 1, 33, 9)),  # 12 bits in 16-bit samples
])
def test_images_equal_the_modules_frames_in_both_formats(sim, client, url, number, binning, subframe):
    cam = client(number)
    cam.Action("vexcam:SetParam", f"{sim.Control.TEST_PATTERN} 1")
    cam.BinX = cam.BinY = binning
    cam.StartX, cam.StartY, cam.NumX, cam.NumY = subframe
    cam.StartExposure(0.001, True)
    wait_ready(cam)
    expected = ramp_frame(SERVED[number], binning, [v * binning for v in subframe])
    flat = cam.ImageArrayRaw
    info = cam.ImageArrayInfo  # of the download just made
    raw = np.asarray(flat).reshape(info.Dimension1, info.Dimension2).T
    assert (info.Dimension1, info.Dimension2) == (subframe[2], subframe[3])
    assert info.TransmissionElementType == (6 if expected.dtype == np.uint8 else 8)
    np.testing.assert_array_equal(raw, expected)
    as_json = requests.get(f"{url}/api/v1/camera/{number}/imagearray").json()
    assert (as_json["Type"], as_json["Rank"], as_json["ErrorNumber"]) == (2, 2, 0)
    np.testing.assert_array_equal(np.array(as_json["Value"]).T, expected)


def test_the_last_image_serves_every_client_until_the_next_exposure(sim, client, url):
    first, second = client(), client()
    first.StartExposure(0.0, False)
    wait_ready(first)
    downloads = [requests.get(f"{url}/api/v1/camera/0/imagearray", headers=IMAGE_BYTES) for _ in range(2)]
    assert downloads[0].content[44:] == downloads[1].content[44:] and second.ImageReady
    sim.block(EXPOSE)
    try:
        second.StartExposure(0.0, False)
        assert sim.wait_blocked(EXPOSE)
        assert not first.ImageReady
        fields, _ = image_bytes(requests.get(f"{url}/api/v1/camera/0/imagearray", headers=IMAGE_BYTES))
        assert fields[1] == 0x40B  # no image while the next one is taken
    finally:
        sim.unblock(EXPOSE)


# --- exposure states, faults, cooler, actions ---


def test_start_exposure_returns_while_the_camera_exposes(sim, client):
    cam = client()
    sim.block(EXPOSE)
    try:
        cam.StartExposure(60.0, True)  # an exposure held inside the SDK
        assert sim.wait_blocked(EXPOSE)
        assert (cam.CameraState, cam.ImageReady, cam.PercentCompleted) == (2, False, 0)
        with pytest.raises(ascom.InvalidOperationException):
            cam.StartExposure(1.0, True)
    finally:
        sim.unblock(EXPOSE)
    wait_ready(cam)
    assert (cam.CameraState, cam.PercentCompleted) == (0, 100)
    assert cam.LastExposureDuration == 60.0
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}", cam.LastExposureStartTime)


def test_an_sdk_failure_is_reported_with_the_modules_message_and_the_next_exposure_works(sim, client, url):
    cam = client()
    sim.fail_next(EXPOSE, sim.Code.INTERNAL_FAILURE)
    cam.StartExposure(0.0, False)
    deadline = time.monotonic() + 10
    while cam.CameraState != 5:
        assert time.monotonic() < deadline
    message = f"Operation failed with error code: {int(sim.Code.INTERNAL_FAILURE)}"
    as_json = requests.get(f"{url}/api/v1/camera/0/imagearray").json()
    assert as_json["ErrorNumber"] >= 0x500 and as_json["ErrorMessage"] == message
    fields, text = image_bytes(requests.get(f"{url}/api/v1/camera/0/imagearray", headers=IMAGE_BYTES))
    assert fields[1] >= 0x500 and text.decode() == message
    cam.StartExposure(0.0, False)
    wait_ready(cam)
    assert cam.CameraState == 0


@pytest.mark.parametrize("member, value, error", [
    ("BinX", 3, ascom.InvalidValueException),
    ("Gain", 101, ascom.InvalidValueException),
    ("Offset", -1, ascom.InvalidValueException),
    ("SetCCDTemperature", -41.0, ascom.InvalidValueException),
    ("ReadoutMode", 1, ascom.InvalidValueException),
    ("FastReadout", True, ascom.NotImplementedException),
])
def test_refused_settings(client, member, value, error):
    cam = client()
    before = getattr(cam, member) if member != "FastReadout" else None
    with pytest.raises(error):
        setattr(cam, member, value)
    if before is not None:
        assert getattr(cam, member) == before


@pytest.mark.parametrize("setup, duration, error", [
    ({"NumX": 1281}, 0.0, ascom.InvalidValueException),  # one column past the sensor
    ({"BinX": 2, "BinY": 2, "NumX": 641, "NumY": 480}, 0.0, ascom.InvalidValueException),
    ({"BinX": 4, "BinY": 4, "StartY": 240, "NumX": 1, "NumY": 1}, 0.0, ascom.InvalidValueException),
    ({"BinX": 2, "BinY": 1}, 0.0, ascom.InvalidOperationException),  # asymmetric binning
    ({}, -0.001, ascom.InvalidValueException),
    ({}, 4294.968, ascom.InvalidValueException),  # past the SDK's 32-bit microseconds
])
def test_start_exposure_refuses_what_the_camera_cannot_take(sim, client, setup, duration, error):
    cam = client()
    for member, value in setup.items():
        setattr(cam, member, value)
    with pytest.raises(error):
        cam.StartExposure(duration, True)
    assert (cam.CameraState, sim.calls(EXPOSE)) == (0, 1)  # only the probe at connection


@pytest.mark.parametrize("read, error", [
    (lambda c: c.LastExposureDuration, ascom.InvalidOperationException),
    (lambda c: c.LastExposureStartTime, ascom.InvalidOperationException),
    (lambda c: c.AbortExposure(), ascom.NotImplementedException),
    (lambda c: c.StopExposure(), ascom.NotImplementedException),
    (lambda c: c.PulseGuide(0, 10), ascom.NotImplementedException),
    (lambda c: c.BayerOffsetX, ascom.NotImplementedException),
    (lambda c: c.Gains, ascom.NotImplementedException),
    (lambda c: c.CoolerPower, ascom.NotImplementedException),
    (lambda c: c.Action("vexcam:Nothing", ""), ascom.ActionNotImplementedException),
    (lambda c: c.Action("vexcam:GetParam", "38"), ascom.InvalidValueException),
    (lambda c: c.Action("vexcam:SetParam", "6"), ascom.InvalidValueException),
])
def test_required_errors(client, read, error):
    with pytest.raises(error):
        read(client())


def test_cooler_and_controls_by_number_reach_the_camera(sim, client):
    cam = client()
    assert (cam.CanSetCCDTemperature, cam.CoolerOn, cam.CCDTemperature) == (True, False, 25.0)
    cam.SetCCDTemperature = -12.5
    cam.CoolerOn = True
    assert (cam.CoolerOn, cam.CCDTemperature, cam.SetCCDTemperature) == (True, -12.5, -12.5)
    cam.Action("vexcam:SetParam", f"{sim.Control.FRAME_RATE} 12.5")
    assert cam.Action("vexcam:GetParam", str(int(sim.Control.FRAME_RATE))) == "12.5"
    assert sim.last_args("SetVEXCAMParam")[1:] == (int(sim.Control.FRAME_RATE), 12.5)
    with pytest.raises(ascom.DriverException, match="error code: 6"):  # read-only in the SDK
        cam.Action("vexcam:SetParam", f"{sim.Control.TEMPERATURE} 1")


def test_a_vendor_configuration_without_a_cooler(sim, tmp_path):
    config = resources.files("vexcam_device").joinpath("simulator.toml").read_text()
    kept = re.sub(r"\[controls\.(cooler|cooler_target)\][^\[]*", "", config)
    served = Server([AlpacaCamera(0, Device(M8, Config.parse(kept)))], port=0, discovery_port=None)
    served.start()
    try:
        cam = AlpycaCamera(f"127.0.0.1:{served.port}", 0)
        cam.Connected = True
        assert cam.CanSetCCDTemperature is False
        with pytest.raises(ascom.NotImplementedException):
            cam.CoolerOn = True
        cam.Connected = False
    finally:
        served.stop()


# --- clients, connection, management, discovery ---


def test_one_clients_disconnect_leaves_the_camera_to_the_others(sim, server):
    first, second = (AlpycaCamera(f"127.0.0.1:{server.port}", 1) for _ in range(2))
    first.Connect()
    second.Connected = True
    while first.Connecting:
        time.sleep(0.005)
    first.Disconnect()
    while first.Connecting:
        time.sleep(0.005)
    second.StartExposure(0.0, False)
    wait_ready(second)
    assert len(second.ImageArrayRaw) == 2048 * 2048 and len(sim.open_handles()) == 1
    second.Connected = False
    assert (second.Connected, sim.open_handles()) == (False, [])
    with pytest.raises(ascom.NotConnectedException):
        second.BinX


def test_a_camera_that_cannot_open_stays_disconnected_and_says_why(sim, server):
    cam = AlpycaCamera(f"127.0.0.1:{server.port}", 0)
    sim.open_returns_null()
    cam.Connect()
    while cam.Connecting:
        time.sleep(0.005)
    assert cam.Connected is False
    with pytest.raises(ascom.DriverException, match=f"Failed to open camera: {M8}"):
        cam.Connected = True
    sim.open_returns_null(False)
    cam.Connected = True
    assert cam.CameraXSize == 1280
    cam.Connected = False


def test_management_api(server, url):
    versions = requests.get(f"{url}/management/apiversions?ClientTransactionID=9").json()
    assert (versions["Value"], versions["ClientTransactionID"]) == ([1], 9)
    devices = requests.get(f"{url}/management/v1/configureddevices").json()["Value"]
    assert [(d["DeviceType"], d["DeviceNumber"]) for d in devices] == [("Camera", n) for n in range(3)]
    ids = [d["UniqueID"] for d in devices]
    assert len(set(ids)) == 3 and ids[0] == unique_id(M8)  # the same on every run
    assert set(requests.get(f"{url}/management/v1/description").json()["Value"]) == {
        "ServerName", "Manufacturer", "ManufacturerVersion", "Location"}


@pytest.mark.parametrize("payload, answered", [
    (b"alpacadiscovery1", True),
    (b"alpacadiscovery1" + bytes(48), True),  # reserved bytes
    (b"alpacadiscovery", False),
    (b"alpacadiscovery2", False),
    (b"", False),
])
def test_discovery_answers_with_the_http_port(server, payload, answered):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.settimeout(0.5 if answered else 0.2)
        probe.sendto(payload, ("127.0.0.1", server.discovery_port))
        try:
            reply = probe.recv(100)
        except TimeoutError:
            reply = None
    assert reply == (b'{"AlpacaPort":%d}' % server.port if answered else None)


def test_the_discovery_port_is_shared(server):
    discovery_socket("127.0.0.1", server.discovery_port).close()  # a second server's bind


# --- the protocol's rules, in raw HTTP ---


def test_every_reply_carries_the_ids_and_counts_transactions(url):
    replies = [requests.get(f"{url}/api/v1/camera/0/{m}", params={"ClientTransactionID": "5"}).json()
               for m in ("name", "binx", "interfaceversion")]
    for reply in replies:
        assert {"ClientTransactionID", "ServerTransactionID", "ErrorNumber", "ErrorMessage"} <= set(reply)
        assert reply["ClientTransactionID"] == 5
    assert replies[1]["ErrorNumber"] == 0x407  # not connected
    counts = [r["ServerTransactionID"] for r in replies]
    assert counts[0] >= 1 and counts == sorted(counts) and len(set(counts)) == 3


@pytest.mark.parametrize("method, path, data, status", [
    ("GET", "/api/v1/camera/0/name?clientid=3&CLIENTTRANSACTIONID=8", None, 200),
    ("GET", "/api/v1/camera/0/name?ClientTransactionID=", None, 400),
    ("GET", "/api/v1/camera/0/name?ClientTransactionID=%20", None, 400),
    ("GET", "/api/v1/camera/0/name?ClientTransactionID=-1", None, 400),
    ("GET", "/api/v1/camera/0/name?ClientTransactionID=4294967296", None, 400),
    ("GET", "/api/v1/camera/0/name?ClientID=x", None, 400),
    ("GET", "/api/v1/camera/0/name?Unknown=1", None, 200),
    ("PUT", "/api/v1/camera/0/binx", {"binx": "2"}, 400),  # PUT fields are spelled exactly
    ("PUT", "/api/v1/camera/0/binx", {"BinX": "two"}, 400),
    ("PUT", "/api/v1/camera/0/binx", {"BinX": "2.5"}, 400),
    ("PUT", "/api/v1/camera/0/connected", {"Connected": ""}, 400),
    ("PUT", "/api/v1/camera/0/binx", {"BinX": "2", "ClientID": "-3"}, 400),
    ("PUT", "/api/v1/camera/0/binx", {"Extra": "1", "BinX": "2"}, 200),
    ("PUT", "/api/v1/camera/0/binx", {"BinX": "2" * 20000}, 413),
    ("GET", "/api/v1/camera/3/name", None, 400),
    ("GET", "/api/v1/camera/99999/name", None, 400),
    ("GET", "/api/v1/camera/-1/name", None, 400),
    ("GET", "/api/v1/camera/A/name", None, 400),
    ("GET", "/api/v1/telescope/0/name", None, 400),
    ("GET", "/api/v1/camera/0/Name", None, 400),
    ("GET", "/api/v1/camera/0/nosuchmember", None, 400),
    ("GET", "/api/v2/camera/0/name", None, 400),
    ("GET", "/API/v1/camera/0/name", None, 400),
    ("GET", "/api/v1/camera/0/startexposure", None, 405),
    ("POST", "/api/v1/camera/0/binx", {"BinX": "2"}, 405),
    ("DELETE", "/api/v1/camera/0/binx", None, 405),
])
def test_requests_are_answered_as_the_protocol_requires(url, method, path, data, status):
    response = requests.request(method, url + path, data=data)
    assert response.status_code == status, response.text
    if status == 200:
        assert response.headers["Content-Type"].startswith("application/json")
        assert response.json()["ClientTransactionID"] == (8 if "=8" in path else 0)
    else:
        assert response.headers["Content-Type"].startswith("text/plain")


def test_a_wrongly_cased_put_transaction_id_is_not_echoed(url):
    reply = requests.put(f"{url}/api/v1/camera/0/connected", data={"Connected": "false", "clienttransactionid": "4"})
    assert reply.json()["ClientTransactionID"] == 0


# --- setup pages ---


def test_setup_pages_escape_what_they_show(sim, url, server):
    sim.add_camera("<b>VX&1</b>", 64, 48, 8)
    served = Server([AlpacaCamera(0, Device("<b>VX&1</b>"))], port=0, discovery_port=None)
    served.start()
    try:
        requests.put(f"http://127.0.0.1:{served.port}/api/v1/camera/0/connected", data={"Connected": "true"})
        page = requests.get(f"http://127.0.0.1:{served.port}/setup/v1/camera/0/setup").text
        assert "&lt;b&gt;VX&amp;1&lt;/b&gt;" in page and "<b>VX" not in page
    finally:
        served.stop()


def test_the_setup_page_shows_the_camera_in_a_browser(sim, client, url, tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("no headless Chromium here (make test installs Debian's)")
    cam = client()
    cam.StartExposure(0.0, False)
    wait_ready(cam)
    shot = tmp_path / "setup.png"
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # not the sanitizer run's
    done = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--window-size=900,1100",
                           f"--screenshot={shot}", f"{url}/setup/v1/camera/0/setup"],
                          capture_output=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    dom = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom",
                          f"{url}/setup/v1/camera/0/setup"], capture_output=True, text=True, timeout=120, env=env).stdout
    assert M8 in dom and "1280 x 960" in dom and "preview.png" in dom
    pixels = np.frombuffer(shot.read_bytes(), np.uint8)
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and pixels.size > 10_000


# --- the command ---


def start_command(*args):
    process = subprocess.Popen(
        [sys.executable, "-m", "vexcam_alpaca", "--port", "0", *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        creationflags=subprocess.CREATE_NEW_PROCESS_GROUP if sys.platform == "win32" else 0,
    )
    line = process.stdout.readline()
    port = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
    assert port, line + process.stderr.read()
    return process, f"http://127.0.0.1:{port.group(1)}"


def stop_command(process, how=signal.SIGTERM):
    process.kill() if sys.platform == "win32" else process.send_signal(how)
    out, err = process.communicate(timeout=30)
    assert "Traceback" not in err, err
    return out


def test_the_command_survives_malformed_requests(sim):
    process, base = start_command("--no-discovery", "--camera", M16)
    try:
        host, port = base.removeprefix("http://").split(":")
        for garbage in (b"\x00\xff garbage\r\n\r\n", b"GET /" + b"a" * 100_000 + b" HTTP/1.1\r\n\r\n",
                        b"PUT /api/v1/camera/0/binx HTTP/1.1\r\nContent-Length: 99999999\r\n\r\nBinX=1",
                        b"GET /api/v1/camera/0/name HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"):
            with socket.create_connection((host, int(port)), timeout=5) as raw:
                raw.sendall(garbage)
                raw.shutdown(socket.SHUT_WR)
                reply = raw.recv(100)
            assert reply == b"" or re.match(rb"HTTP/1\.[01] 4\d\d ", reply), reply
        assert requests.put(f"{base}/api/v1/camera/0/connected", data={"Connected": "true"}).json()["ErrorNumber"] == 0
        assert requests.get(f"{base}/api/v1/camera/0/cameraxsize").json()["Value"] == 2048
    finally:
        stop_command(process)


@pytest.mark.skipif(sys.platform == "win32", reason="Windows sends no signal to another process "
                    "unless it shares its console")
@pytest.mark.parametrize("how", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_the_command_stops_cleanly_with_every_camera_closed(sim, how):
    process, base = start_command("--discovery-port", "0")
    assert requests.put(f"{base}/api/v1/camera/1/connected", data={"Connected": "true"}).json()["ErrorNumber"] == 0
    requests.put(f"{base}/api/v1/camera/1/startexposure", data={"Duration": "0.5", "Light": "true"})
    out = stop_command(process, how)  # during the exposure
    assert process.returncode == 0 and "cameras closed" in out


@pytest.mark.parametrize("args, message", [
    (("--camera", "NO-SUCH"), "no camera 'NO-SUCH'"),
    (("--config", "/nonexistent/vexcam.toml"), "cannot read the file"),
])
def test_the_command_refuses_bad_arguments(args, message):
    done = subprocess.run([sys.executable, "-m", "vexcam_alpaca", "--port", "0", *args],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and message in done.stderr and "Traceback" not in done.stderr

