"""The INDI bench's floor: a driver that does nothing but send a stored FITS file as a CCD1 BLOB.

    indi_relay.py          INDI on standard input and output, as indiserver runs a driver
    indi_relay.py PORT     the same messages over one connection to 127.0.0.1:PORT (no indiserver)

Device "Relay floor": newTextVector FILE (FILE=path) loads a FITS file and builds the BLOB
message once; newNumberVector SEND (VALUE) then writes a marker, setNumberVector SEND Busy, and
at once the prepared message, as the driver writes them when an exposure ends.
"""

import base64
import socket
import sys
import xml.etree.ElementTree as ET

DEVICE = "Relay floor"
DEFINITIONS = (
    f'<defTextVector device="{DEVICE}" name="FILE" label="File" group="Main" state="Idle" perm="rw">'
    '<defText name="FILE" label="Path"></defText></defTextVector>\n'
    f'<defNumberVector device="{DEVICE}" name="SEND" label="Send" group="Main" state="Idle" perm="rw">'
    '<defNumber name="VALUE" label="Value" format="%g" min="0" max="1" step="1">0</defNumber>'
    "</defNumberVector>\n"
    f'<defBLOBVector device="{DEVICE}" name="CCD1" label="Image" group="Main" state="Idle" perm="ro">'
    '<defBLOB name="CCD1" label="Image"/></defBLOBVector>\n'
).encode()
MARKER = (
    f'<setNumberVector device="{DEVICE}" name="SEND" state="Busy">'
    '<oneNumber name="VALUE">0</oneNumber></setNumberVector>\n'
).encode()


def blob_message(path):
    with open(path, "rb") as file:
        data = file.read()
    head = (f'<setBLOBVector device="{DEVICE}" name="CCD1" state="Ok">\n'
            f'<oneBLOB name="CCD1" size="{len(data)}" format=".fits">')  # fmt: skip
    return head.encode() + base64.b64encode(data) + b"</oneBLOB>\n</setBLOBVector>\n"


def serve(read, write):
    parser = ET.XMLPullParser(["start", "end"])
    parser.feed(b"<stream>")
    depth, blob = 0, b""
    while data := read(1 << 16):
        parser.feed(data)
        for event, element in parser.read_events():
            depth += 1 if event == "start" else -1
            if event != "end" or depth != 1:
                continue
            if element.tag == "getProperties":
                write(DEFINITIONS)
            elif element.tag == "newTextVector" and element.get("name") == "FILE":
                blob = blob_message(element[0].text.strip())
                write(f'<setTextVector device="{DEVICE}" name="FILE" state="Ok"/>\n'.encode())
            elif element.tag == "newNumberVector" and element.get("name") == "SEND":
                write(MARKER)
                write(blob)


def main():
    if len(sys.argv) > 1:
        with socket.create_connection(("127.0.0.1", int(sys.argv[1]))) as sock:
            serve(sock.recv, sock.sendall)
        return
    out = sys.stdout.buffer

    def write(data):
        out.write(data)
        out.flush()

    serve(sys.stdin.buffer.read1, write)


if __name__ == "__main__":
    main()
