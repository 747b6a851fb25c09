"""Helpers of the pytest suite: files under tmp_path, the arrays a layout of packed records
holds, and the check of what load_pcd returned. PCD files are written by pcdwrite."""

import os

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "data", "corpus")


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
