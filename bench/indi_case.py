"""INDI: an exposure's FITS file from indi_vexcam_ccd to a client through indiserver, against the
same bytes relayed by a driver that only sends them, and sent over a bare socket; and the FITS
write of vexcam_device.fits against astropy writing the bare array."""

import base64
import io
import os
import random
import shlex
import shutil
import socket
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import harness

SIZES = [("2048x2048 uint16", "VXSIM-M16-002"), ("4096x4096 uint16", "VXSIM-L16-004")]
GOAL = 1.3  # driver / relay floor, from the end of the exposure to the decoded file
HERE = os.path.dirname(os.path.abspath(__file__))
WAIT_S = 60
RELAY = "Relay floor"


class Client:
    """An INDI client on one socket that times from a marker message to the decoded FITS file."""

    def __init__(self, sock):
        self.sock = sock
        self.parser = ET.XMLPullParser(["start", "end"])
        self.parser.feed(b"<stream>")
        self.root, self.depth = None, 0

    def send(self, text):
        self.sock.sendall(text.encode())

    def next_message(self):
        while True:
            for event, element in self.parser.read_events():
                if event == "start":
                    self.root = self.root if self.root is not None else element
                    self.depth += 1
                    continue
                self.depth -= 1
                if self.depth == 1:
                    self.root.remove(element)  # the parser would keep every BLOB otherwise
                    return element
            data = self.sock.recv(1 << 20)
            if not data:
                raise RuntimeError("the connection closed")
            self.parser.feed(data)

    def wait(self, match):
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            message = self.next_message()
            if match(message):
                return message
        raise RuntimeError("no such message arrived")

    def transfer(self, request, is_marker):
        """Sends `request`; seconds from the marker's arrival to the BLOB's pixels in hand."""
        self.send(request)
        self.wait(is_marker)
        start = time.perf_counter()
        blob = self.wait(lambda m: m.tag == "setBLOBVector")
        data = base64.b64decode(blob[0].text)
        from astropy.io import fits

        with fits.open(io.BytesIO(data)) as hdul:
            pixels = hdul[0].data
            assert pixels.dtype.itemsize == 2 and pixels.size > 0
        return time.perf_counter() - start, data


def new(kind, device, name, **members):
    ones = "".join(f'<one{kind} name="{k}">{v}</one{kind}>' for k, v in members.items())
    return f'<new{kind}Vector device="{device}" name="{name}">{ones}</new{kind}Vector>\n'


def wrapper(directory, name, command):
    """indiserver takes a driver without arguments: a script that adds them."""
    path = os.path.join(directory, name)
    with open(path, "w") as file:
        file.write("#!/bin/sh\nexec " + " ".join(map(shlex.quote, command)) + ' "$@"\n')
    os.chmod(path, 0o755)
    return path


def _second_busy(device):
    """The driver's own marker: CCD_EXPOSURE Busy at 0 when the exposure has ended (after the
    Busy that acknowledges the request, also at 0 for a zero-second exposure)."""
    seen = []

    def match(m):
        if m.tag == "setNumberVector" and m.get("device") == device and m.get("name") == "CCD_EXPOSURE":
            if m.get("state") == "Alert":
                raise RuntimeError(f"exposure refused: {m.get('message')}")
            seen.append(m.get("state"))
        return seen.count("Busy") == 2

    return match


def bench_indi(rounds, directory):
    """One section: per size, ms from an exposure's end to its decoded FITS file, three ways."""
    if shutil.which("indiserver") is None:
        return {"skipped": "indiserver is not installed (Debian's indi-bin; make bench installs it)"}
    try:
        import numpy as np
        from astropy.io import fits

        import vexcam_sim
        from vexcam_device import Device
        from vexcam_device.fits import fits_bytes
    except ImportError as exc:
        return {"skipped": f"the indi extra is not installed ({exc})"}
    os.makedirs(directory, exist_ok=True)
    installed = shutil.which("indi_vexcam_ccd", path=os.path.dirname(sys.executable))
    driver = installed or wrapper(directory, "indi_vexcam_ccd", [sys.executable, "-m", "vexcam_indi"])
    relay = wrapper(directory, "indi_relay", [sys.executable, os.path.join(HERE, "indi_relay.py")])
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen(
        ["indiserver", "-r", "0", "-p", str(port), "-u", os.path.join(directory, "local"), driver, relay],
        stdout=subprocess.DEVNULL, stderr=open(os.path.join(directory, "indiserver.log"), "wb"),
    )  # fmt: skip
    results, files = [], {}
    try:
        deadline = time.monotonic() + WAIT_S
        while True:
            try:
                sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT_S)
                break
            except OSError:
                if time.monotonic() > deadline or server.poll() is not None:
                    raise
                time.sleep(0.1)
        client = Client(sock)
        devices = [f"Vexcam {camera_id}" for _, camera_id in SIZES] + [RELAY]
        client.send('<getProperties version="1.7"/>\n')
        for device in devices:
            client.send(f'<enableBLOB device="{device}">Also</enableBLOB>\n')
        defined = set()  # indiserver passes requests only to devices already defined
        client.wait(lambda m: m.tag.startswith("def") and defined.add(m.get("device")) is None
                    and defined >= set(devices))  # fmt: skip
        for _, camera_id in SIZES:
            device = f"Vexcam {camera_id}"
            client.send(new("Switch", device, "CONNECTION", CONNECT="On"))
            client.wait(lambda m, d=device: m.get("device") == d and m.get("name") == "CONNECTION"
                        and m.get("state") in ("Ok", "Alert"))  # fmt: skip
        for label, camera_id in SIZES:
            device = f"Vexcam {camera_id}"
            expose = new("Number", device, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=0)
            _, data = client.transfer(expose, _second_busy(device))  # warm-up; its bytes feed the floors
            path = files[label] = os.path.join(directory, f"{camera_id}.fits")
            with open(path, "wb") as file:
                file.write(data)
            client.send(new("Text", RELAY, "FILE", FILE=path))
            client.wait(lambda m: m.get("device") == RELAY and m.get("name") == "FILE")
            # The bare socket: the relay script sends the same messages to us directly.
            with socket.create_server(("127.0.0.1", 0)) as listener:
                bare_relay = subprocess.Popen([sys.executable, os.path.join(HERE, "indi_relay.py"),
                                               str(listener.getsockname()[1])])  # fmt: skip
                listener.settimeout(WAIT_S)
                bare = Client(listener.accept()[0])
            bare.send(new("Text", RELAY, "FILE", FILE=path))
            bare.wait(lambda m: m.get("name") == "FILE")
            is_relay_marker = lambda m: m.get("device") == RELAY and m.get("name") == "SEND"  # noqa: E731
            send = new("Number", RELAY, "SEND", VALUE=1)
            ways = {
                "driver": lambda: client.transfer(expose, _second_busy(device))[0],
                "relay": lambda: client.transfer(send, is_relay_marker)[0],
                "socket": lambda: bare.transfer(send, is_relay_marker)[0],
            }
            for way in ways.values():
                way()  # warm-up
            samples = {key: [] for key in ways}
            rng = random.Random(7)
            for _ in range(rounds):
                order = list(ways)
                rng.shuffle(order)
                for key in order:
                    samples[key].append(ways[key]() * 1e9)
            bare.sock.close()
            bare_relay.wait(WAIT_S)
            results.append({
                "case": label,
                "fits_bytes": len(data),
                "ms": {k: _ms(v) for k, v in samples.items()},
                "driver/relay": harness.ratio(samples["driver"], samples["relay"]),
                "relay/socket": harness.ratio(samples["relay"], samples["socket"]),
                "samples_ns": samples,
            })  # fmt: skip
        sock.close()
    finally:
        server.terminate()
        server.wait(WAIT_S)
    # The FITS write alone, in this process: vexcam_device.fits against astropy's bare array.
    vexcam_sim.reset()
    vexcam_sim.set_fast_frames(True)
    writes = []
    for label, camera_id in SIZES:
        with Device(camera_id) as camera:
            record = camera.expose()

        def bare_write(r=record):
            buffer = io.BytesIO()
            fits.PrimaryHDU(r.frame).writeto(buffer)
            return buffer.getvalue()

        namespace = {"fits_bytes": fits_bytes, "record": record, "bare_write": bare_write}
        candidates = {
            "vexcam": harness.Candidate(f"{label} fits_bytes", "fits_bytes(record)", namespace),
            "astropy": harness.Candidate(f"{label} astropy", "bare_write()", namespace),
        }
        harness.measure(list(candidates.values()), max(rounds, 5), 2e8)
        assert np.array_equal(fits.getdata(io.BytesIO(fits_bytes(record))), record.frame)
        s = {k: c.samples for k, c in candidates.items()}
        writes.append({"case": label, "ms": {k: _ms(v) for k, v in s.items()},
                       "vexcam/astropy": harness.ratio(s["vexcam"], s["astropy"])})  # fmt: skip
    vexcam_sim.reset()
    return {"rounds": rounds, "cases": results, "fits_write": writes}


def _ms(samples_ns):
    s = harness.summary(samples_ns)
    return {k: (v / 1e6 if k in ("median", "p25", "p75", "min", "max") else v) for k, v in s.items()}


def goals(section):
    return [
        {
            "goal": f"indi {c['case']}: driver/relay floor, exposure end to decoded FITS",
            "value": c["driver/relay"]["median"],
            "target": f"<= {GOAL}",
            "met": c["driver/relay"]["median"] <= GOAL,
            "note": f"relay/bare socket {c['relay/socket']['median']:.2f}",
        }
        for c in section.get("cases", [])
    ]


def render(section, table):
    if "skipped" in section:
        return ["", f"INDI: skipped, {section['skipped']}"]
    rows = [
        [c["case"], f"{c['fits_bytes'] / 2**20:.1f}"]
        + [f"{c['ms'][k]['median']:.1f}" for k in ("driver", "relay", "socket")]
        + [f"{c['ms']['driver']['rel_iqr']:.2f}", f"{c['driver/relay']['median']:.2f}",
           f"{c['relay/socket']['median']:.2f}"]  # fmt: skip
        for c in section["cases"]
    ]
    writes = [
        [w["case"], f"{w['ms']['vexcam']['median']:.1f}", f"{w['ms']['astropy']['median']:.1f}",
         f"{w['vexcam/astropy']['median']:.2f}"]  # fmt: skip
        for w in section["fits_write"]
    ]
    return [
        "",
        "INDI: ms from the end of an exposure (the driver's CCD_EXPOSURE Busy 0, as the client receives\n"
        "it) to the FITS file's pixels decoded in a client of indiserver; median of "
        f"{section['rounds']} interleaved rounds\n"
        "relay: the same FITS bytes, base64 in a BLOB message, from a driver that only sends them,\n"
        "through the same indiserver; socket: the same messages over a bare loopback socket",
        table(["case", "MiB", "driver", "relay", "socket", "spread", "drv/relay", "relay/sock"], rows),
        "",
        "FITS write alone, in memory: vexcam_device.fits.fits_bytes(record) against astropy writing\n"
        "the bare array (PrimaryHDU(frame).writeto), ms per file",
        table(["case", "fits_bytes", "astropy", "ratio"], writes),
    ]
