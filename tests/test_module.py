# The module surface: what `import vexcam` registers, and how the Camera type presents itself.
import gc
import importlib
import sys
import weakref

import pytest

import vexcam
from conftest import METHODS as REGISTRY_METHODS
from conftest import MODULE_LEVEL, run_python

# Method table order is also the order in which the methods enter the type's dictionary.
METHODS = [(c.name, c.signature()) for c in REGISTRY_METHODS]
FUNCTIONS = [(c.name, c.signature()) for c in MODULE_LEVEL if c.kind == "function"]


def test_all_lists_the_registrations_in_order():
    assert vexcam.__all__ == ["Camera", "init_sdk", "scan_cameras"]
    assert type(vexcam.__all__) is list
    assert sorted(c.name for c in MODULE_LEVEL) == sorted(vexcam.__all__)
    assert vexcam.__doc__ == ""


def test_public_attributes_are_exactly_the_registered_ones():
    public = {name for name in vars(vexcam) if not name.startswith("__")}
    assert public == {"Camera", "init_sdk", "scan_cameras"}


def test_camera_type_identity():
    cls = vexcam.Camera
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", "Camera", "Camera")
    assert cls.__text_signature__ == "(id)"
    assert cls.__doc__ == ""
    assert cls.__bases__ == (object,)


def test_methods_in_table_order():
    declared = [name for name in vars(vexcam.Camera) if not name.startswith("__")]
    assert declared == [name for name, _ in METHODS]


@pytest.mark.parametrize("name, signature", METHODS)
def test_method_text_signature_and_empty_doc(name, signature):
    method = getattr(vexcam.Camera, name)
    assert method.__text_signature__ == signature
    assert not method.__doc__
    assert method.__name__ == name
    assert method.__qualname__ == f"Camera.{name}"


@pytest.mark.parametrize("name, signature", FUNCTIONS)
def test_module_functions(name, signature):
    fn = getattr(vexcam, name)
    assert fn.__name__ == name
    assert fn.__self__ is vexcam
    assert fn.__module__ == "vexcam"
    assert fn.__text_signature__ == signature
    assert not fn.__doc__


def test_camera_is_final():
    with pytest.raises(TypeError):

        class Sub(vexcam.Camera):
            pass


def test_camera_has_no_dict_no_weakrefs_no_gc(camera):
    assert not gc.is_tracked(camera)
    with pytest.raises(AttributeError):
        camera.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(camera)
    assert not hasattr(camera, "__dict__")


def test_reimport_yields_same_module():
    original = sys.modules.pop("vexcam")
    try:
        again = importlib.import_module("vexcam")
        assert again is original
        assert again.__all__ == ["Camera", "init_sdk", "scan_cameras"]
        assert again.Camera is original.Camera
    finally:
        sys.modules["vexcam"] = original


def test_slice_container_never_becomes_a_module_attribute(camera, sim):
    sim.script_frame(width=2, height=2, bits=8)
    frame = camera.get_single_frame()
    assert type(frame.base).__name__ == "PySliceContainer"
    assert not gc.is_tracked(frame.base)
    assert not hasattr(vexcam, "PySliceContainer")
    assert "PySliceContainer" not in vexcam.__all__


def test_import_touches_no_sdk_and_numpy_waits_for_first_frame():
    # In a fresh interpreter: the import alone must call nothing in the SDK nor load NumPy.
    done = run_python(
        """
        import sys
        import vexcam
        assert "numpy" not in sys.modules, "numpy imported by vexcam"
        import vexcam_sim
        assert vexcam_sim.call_log() == [], vexcam_sim.call_log()
        print("ok")
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
