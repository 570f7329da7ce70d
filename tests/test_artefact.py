# The built extension file: one exported entry point, and the SDK found beside it at run time.
# ELF files on Linux, read with binutils; PE files on Windows, read here.
import os
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import vexcam
from conftest import loaded_sdk_path

ROOT = Path(__file__).resolve().parent.parent
on_windows = sys.platform == "win32"
elf_tools = pytest.mark.skipif(
    on_windows or shutil.which("readelf") is None,
    reason="Windows has no ELF files" if on_windows else "binutils not installed",
)
pe_files = pytest.mark.skipif(not on_windows, reason="PE files are Windows's")


def tool(*args):
    return subprocess.run([*args, vexcam.__file__], capture_output=True, text=True, check=True).stdout


def dynamic_entries(tag):
    # readelf -d lines look like: 0x... (NEEDED)  Shared library: [libvexcam.so]
    return re.findall(rf"\({tag}\)\s+[^\[]*\[([^\]]*)\]", tool("readelf", "-d"))


@elf_tools
def test_exports_only_the_entry_point():
    symbols = [line.split()[-1] for line in tool("nm", "-D", "--defined-only").splitlines() if line.strip()]
    assert symbols == ["PyInit_vexcam"]


@elf_tools
def test_links_the_sdk_by_name():
    assert "libvexcam.so" in dynamic_entries("NEEDED")


@elf_tools
def test_finds_the_sdk_relative_to_itself():
    # RUNPATH, not RPATH: LD_LIBRARY_PATH may still put another SDK build in its place.
    assert dynamic_entries("RPATH") == []
    (runpath,) = dynamic_entries("RUNPATH")
    assert any(entry.startswith("$ORIGIN") for entry in runpath.split(":"))


def test_loaded_sdk_is_the_one_installed_beside_the_module():
    here = os.path.dirname(os.path.realpath(vexcam.__file__))
    assert os.path.realpath(loaded_sdk_path()).startswith(here + os.sep)


def pe_tables(path):
    """(exported names, {imported DLL: imported names}) of a PE32+ file."""
    data = Path(path).read_bytes()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[header : header + 4] == b"PE\0\0"
    sections, optional_size = struct.unpack_from("<H12xH", data, header + 6)
    optional = header + 24
    assert struct.unpack_from("<H", data, optional)[0] == 0x20B  # PE32+
    export_rva, _, import_rva = struct.unpack_from("<III", data, optional + 112)
    table = [struct.unpack_from("<8xIIII", data, optional + optional_size + 40 * i) for i in range(sections)]

    def offset(rva):
        for size, address, raw_size, raw in table:
            if address <= rva < address + max(size, raw_size):
                return rva - address + raw
        raise ValueError(f"RVA {rva:#x} is in no section")

    def text(rva):
        start = offset(rva)
        return data[start : data.index(b"\0", start)].decode()

    def u32(rva):
        return struct.unpack_from("<I", data, offset(rva))[0]

    exports = []
    if export_rva:
        count, names = u32(export_rva + 24), u32(export_rva + 32)
        exports = [text(u32(names + 4 * i)) for i in range(count)]
    imports = {}
    while name := u32(import_rva + 12):
        thunks, names = u32(import_rva) or u32(import_rva + 16), []
        while entry := struct.unpack_from("<Q", data, offset(thunks))[0]:
            names.append(f"#{entry & 0xFFFF}" if entry >> 63 else text((entry & 0x7FFFFFFF) + 2))
            thunks += 8
        imports[text(name).lower()] = names
        import_rva += 20
    return exports, imports


def def_exports():
    lines = (ROOT / "sim" / "vexcam.def").read_text().splitlines()
    return [line.strip() for line in lines[lines.index("EXPORTS") + 1 :] if line.strip()]


@elf_tools
def test_simulated_library_exports_exactly_the_windows_definition_file():
    # Linux exports by pattern (sim/libvexcam.map); a new function missing from the .def
    # file would otherwise show only in the Windows build.
    listing = subprocess.run(["nm", "-D", "--defined-only", loaded_sdk_path()], capture_output=True, text=True, check=True)
    assert sorted(line.split()[-1] for line in listing.stdout.splitlines() if line.strip()) == sorted(def_exports())


@pe_files
def test_pyd_exports_the_entry_point_and_imports_the_sdk_by_name():
    exports, imports = pe_tables(vexcam.__file__)
    assert exports == ["PyInit_vexcam"]
    vendor = [name for name in def_exports() if not name.startswith("vxsim_")]
    assert sorted(imports["vexcam.dll"]) == sorted(vendor) and len(vendor) == 20
    # The C++ runtime is linked in: none of MinGW's DLLs has to be found beside the module.
    assert not [dll for dll in imports if dll.startswith(("libstdc++", "libgcc", "libwinpthread"))]


@pe_files
def test_simulated_dll_exports_exactly_its_definition_file():
    exports, imports = pe_tables(loaded_sdk_path())
    assert sorted(exports) == sorted(def_exports())
    assert not [dll for dll in imports if dll.startswith(("libstdc++", "libgcc", "libwinpthread"))]
