"""Real PCD files of every encoding against arrays decoded independently."""

import glob
import os

import numpy as np
import pytest

import kelvarin
from conftest import corpus_dir

FILES = sorted(glob.glob(os.path.join(corpus_dir(), "files", "*.pcd")))


def bits(array):
    """Array as unsigned integers of its item size, so NaNs compare by their bits."""
    return array.view(f"u{array.dtype.itemsize}")


def data_kind(path):
    with open(path, "rb") as f:
        return next(line.split()[1] for line in f if line.startswith(b"DATA"))


def test_corpus_present():
    """A missing or partial corpus fails here rather than shrinking the tests below."""
    assert len(FILES) == 37


@pytest.mark.parametrize("path", FILES, ids=os.path.basename)
def test_corpus_file(path):
    name = os.path.basename(path)
    expected = np.load(os.path.join(corpus_dir(), "expected", name[:-4] + ".npz"))
    if "__points__" not in expected.files:
        with pytest.raises(RuntimeError, match="^PCD must contain x, y, z fields$"):
            kelvarin.load_pcd(path)
        return
    if name == "complex_ascii.pcd":  # declares a field of SIZE 1 TYPE F
        with pytest.raises(RuntimeError, match="^Unsupported PCD type/size$"):
            kelvarin.load_pcd(path)
        return
    points, fields = kelvarin.load_pcd(path)
    want = expected["__points__"]
    assert (points.dtype, points.shape) == (want.dtype, want.shape)
    np.testing.assert_array_equal(bits(points), bits(want))
    assert set(fields) == set(expected.files) - {"x", "y", "z", "__points__"}
    for key, array in fields.items():
        want = expected[key]
        assert (array.dtype, array.shape) == (want.dtype, want.shape), key
        if key != "_" or data_kind(path) == b"binary":  # padding bytes are kept only there
            np.testing.assert_array_equal(bits(array), bits(want), err_msg=key)


def test_zero_width_and_height_with_points():
    """WIDTH 0 HEIGHT 0 POINTS 36895 holds 36895 records: POINTS alone counts them."""
    path = os.path.join(corpus_dir(), "rejected", "hesai_ground_width0.pcd")
    with open(path, "rb") as f:
        content = f.read()
    data = content[content.index(b"DATA binary\n") + len(b"DATA binary\n") :]
    assert len(data) == 36895 * 12
    points, fields = kelvarin.load_pcd(path)
    assert fields == {} and points.shape == (36895, 3)
    np.testing.assert_array_equal(bits(points), np.frombuffer(data, "<u4").reshape(-1, 3))
