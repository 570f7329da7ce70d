"""The Alpaca server's setup page of camera 0 after one exposure, as a PNG: alpaca_setup_page.py OUT.

Serves the simulated cameras on a free loopback port (no discovery), connects camera 0 and takes
a short exposure through the Alpaca API, then screenshots the setup page in headless Chromium.
"""

import sys
import time
from pathlib import Path

import requests

import vexcam_sim
from vexcam_alpaca import AlpacaCamera, Server
from vexcam_device import Device

sys.path.insert(0, str(Path(__file__).parent))
from chromium import screenshot  # noqa: E402

vexcam_sim.set_exposure_cap_us(20_000)
server = Server([AlpacaCamera(0, Device("VXSIM-M8-001"))], port=0, discovery_port=None)
server.start()
try:
    api = f"http://127.0.0.1:{server.port}/api/v1/camera/0"
    requests.put(f"{api}/connected", data={"Connected": "True"}, timeout=30).raise_for_status()
    while requests.get(f"{api}/connecting", timeout=30).json()["Value"]:
        time.sleep(0.05)
    requests.put(f"{api}/startexposure", data={"Duration": "0.02", "Light": "True"}, timeout=30)
    while not requests.get(f"{api}/imageready", timeout=30).json()["Value"]:
        time.sleep(0.05)
    page = f"http://127.0.0.1:{server.port}/setup/v1/camera/0/setup"
    screenshot(page, Path(sys.argv[1]), width=1000, height=900)
finally:
    server.stop()
