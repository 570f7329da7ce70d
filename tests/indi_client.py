# The tests' own INDI client: messages parsed from a byte stream, and waiting for one of them.
import base64
import socket
import threading
import time
import xml.etree.ElementTree as ET

WAIT_S = 30  # a hang guard only: every wait ends as soon as its message arrives
# Input a client or a broken pipe may send, each followed in the tests by a well-formed request.
BAD_INPUT = [
    b"garbage & more <<>>",
    b"<newNumberVector device='x' name='y'><oneNumber name='A'>1</oneNumber>",  # never closed
    b"\xff\xfe<\x00",
    b"</indi></stream>",
    b"<!DOCTYPE a [<!ENTITY x 'y'>]>&x;",
    b"<newSwitchVector device='Vexcam VXSIM-M8-001' name='CONNECTION'><oneSwitch>On</newNumberVector>",
    b"<newNumberVector device='nobody' name='CCD_GAIN'><oneNumber name='GAIN'>1</oneNumber></newNumberVector>",
    b"<newNumberVector device='Vexcam VXSIM-M8-001' name='FOO'><oneNumber name='A'>1</oneNumber></newNumberVector>",
    b"<newTextVector device='Vexcam VXSIM-M8-001'/><unknown/>",
    b"<newBLOBVector device='Vexcam VXSIM-M8-001' name='CCD1'><oneBLOB name='CCD1' size='3'>AAAA</oneBLOB>"
    b"</newBLOBVector>",
]


class Messages:
    """INDI messages as they arrive, in order; a writable sink (the driver's output) or fed by a socket."""

    def __init__(self):
        self._parser = ET.XMLPullParser(["start", "end"])
        self._parser.feed(b"<stream>")
        self._depth = 0
        self._changed = threading.Condition()
        self.received = []

    def write(self, data):
        with self._changed:
            self._parser.feed(bytes(data))
            for event, element in self._parser.read_events():
                self._depth += 1 if event == "start" else -1
                if event == "end" and self._depth == 1:
                    self.received.append(element)
            self._changed.notify_all()
        return len(data)

    def flush(self):
        pass

    def mark(self):
        return len(self.received)

    def wait(self, tag, name=None, since=0, state=None, **attrs):
        """The first message since index `since` with this tag (None: any), name, state and attributes."""

        def match(m):
            return ((tag is None or m.tag == tag) and (name is None or m.get("name") == name)
                    and (state is None or m.get("state") == state)
                    and all(m.get(k) == v for k, v in attrs.items()))  # fmt: skip

        deadline = time.monotonic() + WAIT_S
        with self._changed:
            while True:
                found = next((m for m in self.received[since:] if match(m)), None)
                if found is not None:
                    return found
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no <{tag} name={name} state={state}> arrived; last: "
                                         f"{[(m.tag, m.get('name'), m.get('state')) for m in self.received[-5:]]}")
                self._changed.wait(left)


def values(message):
    return {one.get("name"): (one.text or "").strip() for one in message}


def blob_bytes(message):
    (one,) = message
    data = base64.b64decode("".join(one.text.split()))
    assert len(data) == int(one.get("size"))
    return data


def new_vector(kind, device, name, **members):
    root = ET.Element(f"new{kind}Vector", {"device": device, "name": name})
    for member, value in members.items():
        ET.SubElement(root, f"one{kind}", {"name": member}).text = str(value)
    return ET.tostring(root) + b"\n"


class SocketClient(Messages):
    """A client of indiserver on 127.0.0.1 that asks for every property and for BLOBs."""

    def __init__(self, port, device):
        super().__init__()
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT_S)
        self.sock.sendall(b'<getProperties version="1.7"/>\n'
                          + f'<enableBLOB device="{device}">Also</enableBLOB>\n'.encode())  # fmt: skip
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        try:
            while data := self.sock.recv(1 << 20):
                self.write(data)
        except OSError:  # closed by the test
            pass

    def send(self, data):
        self.sock.sendall(data)

    def close(self):
        self.sock.close()
