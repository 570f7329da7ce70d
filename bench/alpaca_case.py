"""The Alpaca server (vexcam_alpaca) as its clients see it: ImageBytes downloads against a bare
socket server sending the same bytes, poll latency while another client exposes and downloads,
and a JSON ImageArray.

The server runs in a process of its own (`python -m vexcam_alpaca`), as users run it, so that no
client shares its GIL; its simulator keeps the default exposure cap, so exposures take their time.
All traffic stays on 127.0.0.1. Run as a script, this file is one poll or exposure client
(`poll`/`expose`), started by the poll case when its clients run as processes.
"""

import argparse
import json
import queue
import re
import signal
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

import harness
import numpy as np

HOST = "127.0.0.1"
# Device 0 and 1 of the server, in this order.
CAMERAS = ("VXSIM-L16-004", "VXSIM-M16-002")  # 4096x4096 and 2048x2048, 16-bit
DOWNLOAD_DEVICE, POLL_DEVICE = 0, 1
DOWNLOAD_GOAL = 1.25  # server download within this factor of the bare socket server's
POLL_GOAL_P99_MS = 20.0
POLL_CLIENTS, POLL_HZ = 8, 20
POLL_MEMBERS = ("camerastate", "imageready", "ccdtemperature")
LOOP_EXPOSURE_S = 0.1
JSON_SIDE = 1024  # the JSON frame: the middle of device 1's sensor
HEADER_SIZE = 44
TRANSMISSION_DTYPES = {6: np.dtype("u1"), 8: np.dtype("<u2")}
TIMEOUT_S = 30.0  # any one request, exposure wait or process start


# ---------------------------------------------------------------------------------------
# Clients


def fetch_image_bytes(session, url):
    """GET an ImageBytes image: its (height, width) array over the reply body, and the body."""
    reply = session.get(url, headers={"Accept": "application/imagebytes"}, timeout=TIMEOUT_S)
    reply.raise_for_status()
    body = reply.content
    (error,) = struct.unpack_from("<I", body, 4)
    if error:
        raise RuntimeError(f"ImageBytes error {error:#x}: {body[HEADER_SIZE:].decode()}")
    transmission, _rank, width, height = struct.unpack_from("<4I", body, 24)
    dtype = TRANSMISSION_DTYPES[transmission]
    return np.frombuffer(body, dtype, offset=HEADER_SIZE).reshape(width, height).T, body


def fetch_json_image(session, url):
    reply = session.get(url, timeout=TIMEOUT_S)
    reply.raise_for_status()
    value = _value(reply.json())
    return np.array(value, dtype=np.int32).T


def _value(answer):
    if answer["ErrorNumber"]:
        raise RuntimeError(f"Alpaca error {answer['ErrorNumber']:#x}: {answer['ErrorMessage']}")
    return answer.get("Value")


def get(session, device_url, member):
    return _value(session.get(f"{device_url}/{member}", timeout=TIMEOUT_S).json())


def put(session, device_url, member, **fields):
    reply = session.put(f"{device_url}/{member}", data=fields, timeout=TIMEOUT_S)
    reply.raise_for_status()
    _value(reply.json())


def expose(session, device_url, duration_s, poll_s=0.01):
    """StartExposure, then ImageReady polled until true."""
    put(session, device_url, "startexposure", Duration=str(duration_s), Light="true")
    deadline = time.monotonic() + duration_s + TIMEOUT_S
    while not get(session, device_url, "imageready"):
        if time.monotonic() > deadline:
            raise RuntimeError(f"no image {TIMEOUT_S} s after a {duration_s} s exposure")
        time.sleep(poll_s)


def poll_client(device_url, index, start_at, seconds):
    """One client polling at POLL_HZ from `start_at` (time.monotonic()) for `seconds`: the
    milliseconds of each request, from sending it to its parsed answer. A request that falls due
    while the one before is still out goes as soon as that one is answered; one sent over half a
    period late is counted as late."""
    import requests

    session = requests.Session()
    get(session, device_url, POLL_MEMBERS[0])  # the first request opens the connection
    period = 1.0 / POLL_HZ
    due = start_at + period * index / POLL_CLIENTS  # clients spread over the period
    deadline = start_at + seconds
    latencies, late = [], 0
    for n in range(int(seconds * POLL_HZ) + 1):
        if due >= deadline:
            break
        wait = due - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        elif wait < -period / 2:
            late += 1
        member = POLL_MEMBERS[(index + n) % len(POLL_MEMBERS)]
        t0 = time.perf_counter_ns()
        get(session, device_url, member)
        latencies.append((time.perf_counter_ns() - t0) / 1e6)
        due += period
    session.close()
    return {"ms": latencies, "late": late}


def exposure_client(device_url, start_at, seconds):
    """Loops LOOP_EXPOSURE_S exposures, each downloaded as ImageBytes, until `seconds` are up."""
    import requests

    session = requests.Session()
    get(session, device_url, "imageready")
    wait = start_at - time.monotonic()
    if wait > 0:
        time.sleep(wait)
    deadline = start_at + seconds
    cycles, downloads = [], []
    for _ in range(int(seconds / LOOP_EXPOSURE_S) + 1):
        if time.monotonic() >= deadline:
            break
        t0 = time.perf_counter_ns()
        expose(session, device_url, LOOP_EXPOSURE_S)
        t1 = time.perf_counter_ns()
        fetch_image_bytes(session, f"{device_url}/imagearray")
        t2 = time.perf_counter_ns()
        cycles.append((t2 - t0) / 1e6)
        downloads.append((t2 - t1) / 1e6)
    session.close()
    return {"cycle_ms": cycles, "download_ms": downloads}


# ---------------------------------------------------------------------------------------
# Servers


class AlpacaServer:
    """`python -m vexcam_alpaca` serving CAMERAS on a free port of 127.0.0.1, in a process."""

    def __init__(self):
        command = [
            sys.executable,
            "-m",
            "vexcam_alpaca",
            "--host",
            HOST,
            "--port",
            "0",
            "--no-discovery",
        ]
        for camera_id in CAMERAS:
            command += ["--camera", camera_id]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        lines = queue.Queue()
        threading.Thread(
            target=lambda: lines.put(self.process.stdout.readline()), daemon=True
        ).start()
        try:
            line = lines.get(timeout=TIMEOUT_S)
        except queue.Empty:
            line = ""
        found = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        if not found:
            self.stop()
            raise RuntimeError(f"vexcam-alpaca did not say it was ready: {line!r}")
        self.url = f"http://{HOST}:{found.group(1)}"

    def device(self, number):
        return f"{self.url}/api/v1/camera/{number}"

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(TIMEOUT_S)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


class FloorServer:
    """The least an HTTP server can do: every request on a connection is answered with `body`
    under a minimal HTTP/1.1 header, by one sendall() from a thread per connection."""

    def __init__(self, body, content_type="application/imagebytes"):
        head = (
            f"HTTP/1.1 200 OK\r\nContent-Type: {content_type}\r\n"
            f"Content-Length: {len(body)}\r\n\r\n"
        )
        self.reply = head.encode() + body
        self.listener = socket.create_server((HOST, 0))
        self.listener.settimeout(0.5)
        self.url = f"http://{HOST}:{self.listener.getsockname()[1]}"
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._accept, name="floor-accept", daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), name="floor", daemon=True).start()

    def _serve(self, conn):
        conn.settimeout(TIMEOUT_S)
        pending = b""
        with conn:
            while not self.stopping.is_set():
                try:
                    data = conn.recv(65536)
                except OSError:
                    return
                if not data:
                    return
                pending += data
                while b"\r\n\r\n" in pending:  # GETs: a request ends with its header
                    _, pending = pending.split(b"\r\n\r\n", 1)
                    conn.sendall(self.reply)

    def stop(self):
        self.stopping.set()
        self.listener.close()
        self.thread.join()


# ---------------------------------------------------------------------------------------
# The section


def bench_alpaca(rounds, poll_seconds):
    """One section: the download rows (interleaved in rounds), the poll row, the JSON row."""
    try:
        import requests
        import vexcam_alpaca  # noqa: F401 - the server's own process imports it again
        from alpaca.camera import Camera
    except ImportError as exc:
        return {"skipped": f"the Alpaca server or its clients are not installed ({exc})"}
    server = AlpacaServer()
    try:
        session = requests.Session()
        for number in range(len(CAMERAS)):
            put(session, server.device(number), "connected", Connected="true")
        section = {
            "download": _bench_download(server, session, Camera, rounds),
            "poll": {
                mode: _bench_poll(server, mode, poll_seconds) for mode in ("threads", "processes")
            },
            "json": _bench_json(server, session, max(3, rounds // 3)),
        }
        session.close()
    finally:
        server.stop()
    section["rounds"] = rounds
    section["alpyca"] = _version("alpyca")
    section["aiohttp"] = _version("aiohttp")
    section["requests"] = _version("requests")
    return section


def _version(name):
    import importlib.metadata

    return importlib.metadata.version(name)


def _bench_download(server, session, camera_type, rounds):
    device_url = server.device(DOWNLOAD_DEVICE)
    put(session, device_url, "binx", BinX="1")
    put(session, device_url, "biny", BinY="1")
    expose(session, device_url, 0.001)
    image_url = f"{device_url}/imagearray"
    frame, body = fetch_image_bytes(session, image_url)
    floor = FloorServer(body)
    try:
        floor_frame, _ = fetch_image_bytes(session, f"{floor.url}/api/v1/camera/0/imagearray")
        if not np.array_equal(floor_frame, frame):
            raise RuntimeError("the floor server's image differs from the server's")
        host = server.url.removeprefix("http://")
        alpyca_server = camera_type(host, DOWNLOAD_DEVICE)
        alpyca_floor = camera_type(floor.url.removeprefix("http://"), 0)
        shape = frame.shape

        def requests_loop(url):
            def run(n):
                t0 = time.perf_counter_ns()
                for _ in range(n):
                    image, _ = fetch_image_bytes(session, url)
                    if image.shape != shape:
                        raise RuntimeError(f"downloaded {image.shape}, expected {shape}")
                return (time.perf_counter_ns() - t0) / n

            return run

        def alpyca_loop(camera):
            def run(n):
                t0 = time.perf_counter_ns()
                for _ in range(n):
                    flat = camera.ImageArrayRaw
                    image = np.asarray(flat).reshape(camera.ImageArrayInfo.Dimension1, -1).T
                    if image.shape != shape:
                        raise RuntimeError(f"alpyca gave {image.shape}, expected {shape}")
                return (time.perf_counter_ns() - t0) / n

            return run

        candidates = {
            "floor": harness.Candidate("floor", native=requests_loop(f"{floor.url}/imagearray")),
            "server": harness.Candidate("server", native=requests_loop(image_url)),
            "alpyca": harness.Candidate("alpyca", native=alpyca_loop(alpyca_server)),
            "alpyca_floor": harness.Candidate("alpyca floor", native=alpyca_loop(alpyca_floor)),
        }
        # One download per sample (each is tens of ms); the rounds give the spread.
        harness.measure(list(candidates.values()), rounds, target_ns=1)
    finally:
        floor.stop()
    s = {k: c.samples for k, c in candidates.items()}
    return {
        "camera": CAMERAS[DOWNLOAD_DEVICE],
        "shape": list(frame.shape),
        "dtype": str(frame.dtype),
        "bytes": len(body),
        "ms": {k: _ms(v) for k, v in s.items()},
        "ratios": {
            "server/floor": harness.ratio(s["server"], s["floor"]),
            "alpyca/floor": harness.ratio(s["alpyca"], s["floor"]),
            "alpyca_floor/floor": harness.ratio(s["alpyca_floor"], s["floor"]),
        },
        "samples_ns": s,
    }


def _bench_poll(server, pollers_as, seconds):
    """POLL_CLIENTS pollers, as threads of this process or as processes, while one exposure loop
    runs in a process of its own on device POLL_DEVICE: its downloads hold a GIL for long
    stretches, and the pollers must not wait for it."""
    device_url = server.device(POLL_DEVICE)
    import requests

    with requests.Session() as session:
        for member, field, value in (
            ("binx", "BinX", 1),
            ("biny", "BinY", 1),
            ("startx", "StartX", 0),
            ("starty", "StartY", 0),
            ("numx", "NumX", 2048),
            ("numy", "NumY", 2048),
        ):
            put(session, device_url, member, **{field: str(value)})
    start_at = time.monotonic() + 2.0  # the client processes start up first
    jobs = [("poll", i) for i in range(POLL_CLIENTS)] + [("expose", POLL_CLIENTS)]
    in_process = jobs[:POLL_CLIENTS] if pollers_as == "threads" else []
    children = [
        subprocess.Popen(
            [sys.executable, __file__, kind, device_url, str(index), repr(start_at), repr(seconds)],
            stdout=subprocess.PIPE,
            text=True,
        )
        for kind, index in jobs
        if (kind, index) not in in_process
    ]
    results = {}

    def run(kind, index):
        results[index] = _client(kind, device_url, index, start_at, seconds)

    threads = [threading.Thread(target=run, args=job) for job in in_process]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 3 * TIMEOUT_S)
    for child in children:
        out, _ = child.communicate(timeout=seconds + 3 * TIMEOUT_S)
        if child.returncode:
            raise RuntimeError(f"a client process ended with status {child.returncode}")
        answer = json.loads(out)
        results[answer.pop("index")] = answer
    if len(results) != len(jobs):
        raise RuntimeError("a client thread failed or did not finish")
    polls, loop = [results[i] for i in range(POLL_CLIENTS)], results[POLL_CLIENTS]
    latencies = sorted(ms for p in polls for ms in p["ms"])
    return {
        "seconds": seconds,
        "requests": len(latencies),
        "late": sum(p["late"] for p in polls),
        "p50_ms": _percentile(latencies, 50),
        "p99_ms": _percentile(latencies, 99),
        "max_ms": latencies[-1],
        "exposures": len(loop["cycle_ms"]),
        "cycle_ms": _median(loop["cycle_ms"]),
        "download_ms": _median(loop["download_ms"]),
    }


def _client(kind, device_url, index, start_at, seconds):
    if kind == "poll":
        return poll_client(device_url, index, start_at, seconds)
    return exposure_client(device_url, start_at, seconds)


def _bench_json(server, session, rounds):
    """JSON ImageArray of the middle JSON_SIDE x JSON_SIDE of device POLL_DEVICE's sensor: the
    first download of an exposure (the server encodes it) and a second one (encoded already)."""
    device_url = server.device(POLL_DEVICE)
    width = get(session, device_url, "cameraxsize")
    height = get(session, device_url, "cameraysize")
    for member, field, value in (
        ("startx", "StartX", (width - JSON_SIDE) // 2),
        ("starty", "StartY", (height - JSON_SIDE) // 2),
        ("numx", "NumX", JSON_SIDE),
        ("numy", "NumY", JSON_SIDE),
    ):
        put(session, device_url, member, **{field: str(value)})
    url = f"{device_url}/imagearray"
    first, again = [], []
    for _ in range(rounds):
        expose(session, device_url, 0.001)
        for times in (first, again):
            t0 = time.perf_counter_ns()
            image = fetch_json_image(session, url)
            times.append(time.perf_counter_ns() - t0)
        binary, _ = fetch_image_bytes(session, url)
        if image.shape != (JSON_SIDE, JSON_SIDE) or not np.array_equal(image, binary):
            raise RuntimeError("the JSON image differs from the ImageBytes one")
    return {
        "camera": CAMERAS[POLL_DEVICE],
        "shape": [JSON_SIDE, JSON_SIDE],
        "ms": {"first": _ms(first), "again": _ms(again)},
    }


def _ms(samples_ns):
    s = harness.summary(samples_ns)
    return {
        k: (v / 1e6 if k in ("median", "p25", "p75", "min", "max") else v) for k, v in s.items()
    }


def _median(values):
    return statistics.median(values) if values else None


def _percentile(sorted_values, q):
    # Nearest rank: the value below which q% of the requests fall.
    rank = max(1, -(-len(sorted_values) * q // 100))
    return sorted_values[rank - 1]


# ---------------------------------------------------------------------------------------
# Report


def goals(section):
    """The goal rows, in the shape report.goals() gives them."""
    if "skipped" in section:
        return []
    d = section["download"]
    v = d["ratios"]["server/floor"]["median"]
    out = [
        {
            "goal": f"alpaca ImageBytes {_size(d)}: server/floor download time",
            "value": v,
            "target": f"<= {DOWNLOAD_GOAL}",
            "met": v <= DOWNLOAD_GOAL,
            "note": f"{d['ms']['server']['median']:.0f} ms, floor "
            f"{d['ms']['floor']['median']:.0f} ms; "
            f"alpyca {d['ratios']['alpyca/floor']['median']:.2f}x",
        }
    ]
    p = section["poll"]["threads"]
    out.append(
        {
            "goal": f"alpaca poll p99 ms, {POLL_CLIENTS} clients at {POLL_HZ} Hz during exposures",
            "value": p["p99_ms"],
            "target": f"<= {POLL_GOAL_P99_MS:.0f}",
            "met": p["p99_ms"] <= POLL_GOAL_P99_MS,
            "note": f"p50 {p['p50_ms']:.1f} ms; pollers as threads, "
            f"as processes p99 {section['poll']['processes']['p99_ms']:.1f} ms",
        }
    )
    return out


def _size(download):
    height, width = download["shape"]
    return f"{width}x{height} {download['dtype']}"


def render(section, table):
    """The section's tables, as lines for report.render()."""
    if "skipped" in section:
        return ["", f"Alpaca server: skipped, {section['skipped']}"]
    d = section["download"]
    labels = {
        "floor": "floor: bare socket server, requests",
        "server": "vexcam-alpaca, requests",
        "alpyca": "vexcam-alpaca, alpyca ImageArrayRaw",
        "alpyca_floor": "floor, alpyca ImageArrayRaw",
    }
    ratio_keys = {
        "server": "server/floor",
        "alpyca": "alpyca/floor",
        "alpyca_floor": "alpyca_floor/floor",
    }
    rows = []
    for key, label in labels.items():
        ms, r = d["ms"][key], d["ratios"].get(ratio_keys.get(key))
        rows.append(
            [
                label,
                f"{ms['median']:.1f}",
                f"±{ms['rel_iqr'] * 50:.0f}%",
                f"{d['bytes'] / 2**20 / (ms['median'] / 1e3):.0f}",
                f"{r['median']:.2f}" if r else "1.00",
            ]
        )
    lines = [
        "",
        f"Alpaca server (vexcam-alpaca in its own process; aiohttp {section['aiohttp']}, "
        f"requests {section['requests']}, alpyca {section['alpyca']})",
        f"ImageBytes download of {_size(d)} ({d['camera']}, {d['bytes']} bytes), request to "
        f"numpy (H, W) array in the client;\nmedian of {section['rounds']} interleaved rounds; "
        "floor: a socket server thread sending the same bytes in one sendall(); "
        f"goal <= {DOWNLOAD_GOAL}x floor",
        table(["download", "ms", "spread", "MiB/s", "x floor"], rows),
    ]
    rows = []
    for mode, p in section["poll"].items():
        rows.append(
            [
                f"pollers as {mode}",
                str(p["requests"]),
                f"{p['p50_ms']:.2f}",
                f"{p['p99_ms']:.2f}",
                f"{p['max_ms']:.1f}",
                str(p["late"]),
                str(p["exposures"]),
                f"{p['download_ms']:.0f}" if p["download_ms"] else "-",
            ]
        )
    first = next(iter(section["poll"].values()))
    lines += [
        "",
        f"Poll latency, ms: {POLL_CLIENTS} clients at {POLL_HZ} Hz "
        f"({', '.join(POLL_MEMBERS)} in turn) for {first['seconds']:g} s while\na process of its "
        f"own loops {LOOP_EXPOSURE_S:g} s exposures with ImageBytes downloads on "
        f"{CAMERAS[POLL_DEVICE]}; late: sent over half a period late;\n"
        f"goal p99 <= {POLL_GOAL_P99_MS:.0f} ms, pollers as threads",
        table(["", "requests", "p50", "p99", "max", "late", "exposures", "download ms"], rows),
    ]
    j = section["json"]
    lines += [
        "",
        f"JSON ImageArray of {JSON_SIDE}x{JSON_SIDE} ({j['camera']}, region in the middle) to a "
        f"numpy array, for the record: first download\nof an exposure "
        f"{j['ms']['first']['median']:.0f} ms "
        f"(the server encodes it), a second one {j['ms']['again']['median']:.0f} ms, "
        f"median of {j['ms']['first']['rounds']}",
    ]
    return lines


def main():
    parser = argparse.ArgumentParser(description="One client of the poll case; prints JSON.")
    parser.add_argument("kind", choices=["poll", "expose"])
    parser.add_argument("device_url")
    parser.add_argument("index", type=int)
    parser.add_argument("start_at", type=float, help="time.monotonic() to start at")
    parser.add_argument("seconds", type=float)
    args = parser.parse_args()
    if not args.device_url.startswith(f"http://{HOST}:"):
        parser.error(f"only {HOST} is served")
    answer = _client(args.kind, args.device_url, args.index, args.start_at, args.seconds)
    print(json.dumps({"index": args.index, **answer}))


if __name__ == "__main__":
    main()
