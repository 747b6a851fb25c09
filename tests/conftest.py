import ctypes
import functools
import os
import struct

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "data", "corpus")


def pcd_header(fields, sizes, types, counts=None, points=1, data="binary", extra=""):
    """Text of a PCD header; list arguments are joined with spaces."""
    counts = counts if counts is not None else [1] * len(fields)
    lines = [
        "# .PCD v0.7 - Point Cloud Data file format",
        "VERSION 0.7",
        "FIELDS " + " ".join(fields),
        "SIZE " + " ".join(str(s) for s in sizes),
        "TYPE " + " ".join(types),
        "COUNT " + " ".join(str(c) for c in counts),
        f"WIDTH {points}",
        "HEIGHT 1",
        "VIEWPOINT 0 0 0 1 0 0 0",
        f"POINTS {points}",
    ]
    if extra:
        lines.append(extra)
    lines.append(f"DATA {data}")
    return ("\n".join(lines) + "\n").encode()


@pytest.fixture
def write_pcd(tmp_path):
    """Writes bytes to a fresh file under tmp_path and returns its path as str."""
    counter = iter(range(10**6))

    def write(content, name=None):
        path = tmp_path / (name or f"cloud{next(counter)}.pcd")
        path.write_bytes(content)
        return str(path)

    return write


def xyz_records(points):
    """Packed float32 x y z records of an (N, 3) array."""
    return np.ascontiguousarray(points, dtype="<f4").tobytes()


def corpus_dir():
    return os.path.normpath(CORPUS)


def lzf_words(compressed_size, uncompressed_size):
    return struct.pack("<II", compressed_size, uncompressed_size)


def random_bytes(count, seed=0):
    return np.random.default_rng(seed).integers(0, 256, count, dtype=np.uint8).tobytes()


def fields_of(layout):
    """'x:F4 y:F4 z:F4 rgb:U1x3' -> [(name, type, size, count), ...]"""
    fields = []
    for item in layout.split():
        name, _, kind = item.rpartition(":")
        size, _, count = kind[1:].partition("x")
        fields.append((name, kind[0], int(size), int(count or 1)))
    return fields


def packed_fields(fields, data, points):
    """Arrays that (name, type, size, count) fields, packed in declaration order, hold in the
    records `data`; a later field of a repeated name replaces the earlier one."""
    step = sum(size * count for _, _, size, count in fields)
    buf = bytes(data) + bytes(step)
    arrays, offset = {}, 0
    for name, type_, size, count in fields:
        shape, strides = ((points, count), (step, size)) if count > 1 else ((points,), (step,))
        arrays[name] = np.ndarray(shape, f"<{type_.lower()}{size}", buf, offset, strides).copy()
        offset += size * count
    return arrays


def assert_loaded(result, layout, data, points):
    """`result` of load_pcd shows `points` records `data` of the fields in `layout`: the points
    are x, y, z (first element) as float32, and every other name maps to its last field."""
    fields = fields_of(layout)
    expected = packed_fields(fields, data, points)
    xyz = [expected[a] if expected[a].ndim == 1 else expected[a][:, 0] for a in "xyz"]
    with np.errstate(over="ignore"):
        xyz = np.stack(xyz, axis=1).astype(np.float32)
    got_points, got_fields = result
    assert (got_points.dtype, got_points.shape) == (np.float32, (points, 3))
    np.testing.assert_array_equal(got_points, xyz)
    names = [f[0] for f in fields if f[0] not in ("x", "y", "z")]
    assert list(got_fields) == list(dict.fromkeys(names))
    for name, array in got_fields.items():
        want = expected[name]
        assert (array.dtype, array.shape) == (want.dtype, want.shape), name
        assert array.tobytes() == want.tobytes(), name


@functools.lru_cache(maxsize=None)
def lzf_compressor():
    """liblzf's own compressor, so the block format is the real one: the library named by
    KELVARIN_LZF_LIBRARY (a liblzf DLL on Windows, where python-lzf has no wheel), else the
    system's liblzf, loaded on first use, else python-lzf's build of it (where a wheel carries
    liblzf linked in and the system has none)."""
    try:
        lib = ctypes.CDLL(os.environ.get("KELVARIN_LZF_LIBRARY") or "liblzf.so.1")
    except OSError:
        import lzf

        return lambda data, room: lzf.compress(data, room) or b""
    lib.lzf_compress.restype = ctypes.c_uint
    lib.lzf_compress.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_void_p, ctypes.c_uint]

    def compress(data, room):
        out = ctypes.create_string_buffer(room)
        size = lib.lzf_compress(data, len(data), out, room)
        return out.raw[:size]

    return compress


def lzf_compress(data):
    block = lzf_compressor()(bytes(data), len(data) + len(data) // 16 + 64)
    assert block
    return block


def lzf_section(raw, uncompressed_size=None):
    """Size words and LZF block of `raw`; the uncompressed size can be overridden."""
    block = lzf_compress(raw)
    size = len(raw) if uncompressed_size is None else uncompressed_size
    return lzf_words(len(block), size) + block
