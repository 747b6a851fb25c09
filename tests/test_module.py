"""The kelvarin extension module: documentation, argument forms, import behaviour."""

import glob
import importlib
import json
import os
import pathlib
import subprocess
import sys
import zipfile

import numpy as np
import pytest

import kelvarin
from conftest import xyz_records
from pcdwrite import pcd_header

SIGNATURE = "load_pcd(filename: str) -> tuple[numpy.ndarray, dict]"
DOCSTRING = (
    "\n        Load a PCD file into NumPy arrays.\n\n        Returns:\n"
    "            points: np.ndarray of shape (N,3) with x,y,z\n"
    "            fields: dict of other 1D NumPy arrays with arbitrary names/dtypes;\n"
    "                a field with COUNT above 1 is a 2D array of shape (N, COUNT)\n    "
)
POINTS = np.arange(6, dtype=np.float32).reshape(2, 3)


def test_docstrings():
    assert kelvarin.__doc__ == "Fast PCD loading (ASCII, binary, binary_compressed)"
    doc = kelvarin.load_pcd.__doc__
    assert doc.startswith(SIGNATURE + "\n") and DOCSTRING in doc
    assert doc == SIGNATURE + "\n\n" + DOCSTRING + "\n"


class Str(str):
    pass


class Bytes(bytes):
    pass


class ByteArray(bytearray):
    pass


@pytest.mark.parametrize("name", ["cloud.pcd", "wolke-é€😀-点云-облако.pcd"])
@pytest.mark.parametrize(
    "call",
    [
        lambda p: kelvarin.load_pcd(p),
        lambda p: kelvarin.load_pcd(filename=p),
        lambda p: kelvarin.load_pcd(Str(p)),
        lambda p: kelvarin.load_pcd(os.fsencode(p)),
        lambda p: kelvarin.load_pcd(Bytes(os.fsencode(p))),
        lambda p: kelvarin.load_pcd(bytearray(os.fsencode(p))),
        lambda p: kelvarin.load_pcd(ByteArray(os.fsencode(p))),
    ],
    ids=[
        "str",
        "keyword",
        "str-subclass",
        "bytes",
        "bytes-subclass",
        "bytearray",
        "bytearray-subclass",
    ],
)
def test_argument_forms(write_pcd, name, call):
    header = pcd_header(["x", "y", "z", "i"], [4, 4, 4, 2], ["F", "F", "F", "U"], points=2)
    data = b"".join(xyz_records(p) + bytes([k, 7]) for k, p in enumerate(POINTS))
    result = call(write_pcd(header + data, name))
    assert type(result) is tuple and len(result) == 2
    points, fields = result
    assert type(points) is np.ndarray and type(fields) is dict
    np.testing.assert_array_equal(points, POINTS)
    assert list(fields) == ["i"] and fields["i"].tolist() == [7 * 256, 1 + 7 * 256]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("a.pcd", "b.pcd"), {}),
        ((), {"file": "a.pcd"}),
        ((), {"filename": "a.pcd", "mode": "r"}),
        ((None,), {}),
        ((3,), {}),
        ((pathlib.Path("a.pcd"),), {}),
        (("a\ud800.pcd",), {}),
        ((memoryview(b"a.pcd"),), {}),
    ],
)
def test_refused_arguments(args, kwargs):
    with pytest.raises(TypeError, match=r"^load_pcd\(\): incompatible function arguments") as e:
        kelvarin.load_pcd(*args, **kwargs)
    assert "(filename: str) -> tuple[numpy.ndarray, dict]" in str(e.value)


@pytest.mark.parametrize(
    "name, encode",
    [
        ("missing.pcd", str),
        ("fehlt-ü.pcd", str),
        ("missing.pcd", os.fsencode),
        ("", str),
        (".", str),
        ("cloud.pcd\0.txt", str),
        ("cloud.pcd\0", os.fsencode),
        ("cloud.pcd\0\udcff", os.fsencode),
        ("fehlt-\udcff.pcd", os.fsencode),
    ],
)
def test_cannot_open(write_pcd, tmp_path, name, encode):
    # cloud.pcd exists, so a name that stops at a NUL must not be opened as it
    write_pcd(pcd_header(["x", "y", "z"], [4, 4, 4], "FFF") + xyz_records([[1, 2, 3]]), "cloud.pcd")
    argument = encode(os.path.join(str(tmp_path), name))
    with pytest.raises(RuntimeError) as e:
        kelvarin.load_pcd(argument)
    # NUL and non-UTF-8 bytes of the name are shown as \xNN escapes
    raw = argument if isinstance(argument, bytes) else argument.encode()
    shown = raw.decode("utf-8", "backslashreplace").replace("\0", "\\x00")
    assert str(e.value) == "Cannot open PCD file: " + shown
    # a failed call leaves the module usable
    assert kelvarin.load_pcd(str(tmp_path / "cloud.pcd"))[0].tolist() == [[1, 2, 3]]


def test_reimport_returns_same_module():
    module = sys.modules.pop("kelvarin")
    try:
        again = importlib.import_module("kelvarin")
        assert again is module and again.load_pcd is module.load_pcd
    finally:
        sys.modules["kelvarin"] = module


def run_python(code):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


LOAD_SO = """
import importlib.machinery, importlib.util, json, os, sys
# Bind symbols lazily: a build for a newer Python refers to functions this
# interpreter lacks, and eager binding would refuse the file before its init runs.
sys.setdlopenflags(os.RTLD_LAZY)
path = {path!r}
loader = importlib.machinery.ExtensionFileLoader("kelvarin", path)
layout = importlib.util.spec_from_file_location("kelvarin", path, loader=loader)
try:
    layout.loader.exec_module(importlib.util.module_from_spec(layout))
    result = ["loaded", ""]
except ImportError as e:
    result = [type(e).__name__, str(e)]
print(json.dumps(result + [sys.version]))
"""


def other_version_builds():
    house = os.environ.get("KELVARIN_WHEELHOUSE")
    own = "cp%d%d" % sys.version_info[:2]
    wheels = glob.glob(os.path.join(house or "", "kelvarin-0.1.0-cp3*-linux_x86_64.whl"))
    return [w for w in wheels if house and os.path.basename(w).split("-")[2] != own]


def test_other_minor_version_refused(tmp_path):
    wheels = other_version_builds()
    if not wheels:
        pytest.skip("no wheel of another Python version in KELVARIN_WHEELHOUSE")
    for wheel in sorted(wheels):
        tag = os.path.basename(wheel).split("-")[2]
        with zipfile.ZipFile(wheel) as archive:
            so = next(n for n in archive.namelist() if n.endswith(".so"))
            path = archive.extract(so, str(tmp_path / tag))
        kind, message, version = run_python(LOAD_SO.format(path=path))
        expected = (
            f"Python version mismatch: module was compiled for Python 3.{tag[3:]}, "
            f"but the interpreter version is incompatible: {version}."
        )
        assert (kind, message) == ("ImportError", expected)


SUBINTERPRETER = """
import json, os
r, w = os.pipe()
code = f'''
import os
try:
    import kelvarin
    outcome = "loaded"
except ImportError as e:
    outcome = "ImportError: " + str(e)
os.write({w}, outcome.encode())
'''
try:
    from concurrent import interpreters  # public from 3.14 on
except ImportError:
    interpreters = None
if interpreters:
    api = "concurrent.interpreters"
    interp = interpreters.create()  # isolated, like every one it makes
    interp.exec(code)
    interp.close()
else:
    try:
        import _interpreters as low  # 3.13
        api, interp = "_interpreters", low.create()  # isolated by default
    except ImportError:
        import _xxsubinterpreters as low  # 3.12
        api, interp = "_xxsubinterpreters", low.create(isolated=True)
    low.run_string(interp, code)
    low.destroy(interp)
import kelvarin
print(json.dumps([api, os.read(r, 1000).decode()]))
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated sub-interpreters came in 3.12")
def test_isolated_subinterpreter_refuses_import():
    api, outcome = run_python(SUBINTERPRETER)
    assert api == "concurrent.interpreters" or sys.version_info < (3, 14)
    assert outcome == "ImportError: module kelvarin does not support loading in subinterpreters"
