"""DATA binary_compressed: LZF framing, field-grouped blocks and their failures."""

import numpy as np
import pytest

import kelvarin
from pcdwrite import field_grouped, header_of, lzf_compress, lzf_section, lzf_words

FAILED = "LZF decompression failed"
COMPRESSED = "binary_compressed"


# (name, type, size, count) per field.
XYZ = [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1)]
LAYOUTS = {
    "xyz": XYZ,
    "lidar": XYZ + [("intensity", "F", 4, 1), ("ring", "U", 2, 1), ("timestamp", "F", 8, 1)],
    "rgb_count3": XYZ + [("rgb", "U", 1, 3), ("label", "I", 4, 1)],
    "normal_count2_first": [("normal", "F", 4, 2), ("curvature", "I", 1, 1)] + XYZ,
    "xyz_f8": [("x", "F", 8, 1), ("y", "F", 8, 1), ("z", "F", 8, 1), ("id", "U", 8, 1)],
}


def dtype_of(layout):
    kinds = {"F": "f", "I": "i", "U": "u"}
    return np.dtype(
        [(n, f"<{kinds[t]}{s}", (c,)) if c > 1 else (n, f"<{kinds[t]}{s}") for n, t, s, c in layout]
    )


def cloud(layout, points, seed=0):
    """Structured array of packed records; values repeat often enough for back references."""
    rng = np.random.default_rng(seed)
    records = np.zeros(points, dtype=dtype_of(layout))
    for name in records.dtype.names:
        field = records[name]
        values = rng.integers(0, 97, size=field.shape)
        field[...] = values / 8 if field.dtype.kind == "f" else values
    return records


def from_grouped(image, layout, points):
    """Reference regrouping of a field-grouped image into records."""
    records = np.zeros(points, dtype=dtype_of(layout))
    pos = 0
    for name in records.dtype.names:
        field = records[name]
        records[name] = np.frombuffer(image, field.dtype, field.size, pos).reshape(field.shape)
        pos += field.nbytes
    return records


def assert_cloud(result, records):
    points, fields = result
    xyz = np.stack([records[c] for c in "xyz"], axis=1).astype(np.float32)
    assert points.dtype == np.float32 and points.shape == (len(records), 3)
    assert points.tobytes() == xyz.tobytes()
    others = [n for n in records.dtype.names if n not in "xyz"]
    assert sorted(fields) == sorted(others)
    for name in others:
        assert fields[name].dtype == records[name].dtype
        assert fields[name].shape == records[name].shape
        assert fields[name].tobytes() == np.ascontiguousarray(records[name]).tobytes()


def assert_fails(path, message=FAILED, error=RuntimeError):
    with pytest.raises(error, match=f"^{message}$"):
        kelvarin.load_pcd(path)


# Widths, counts and point counts across the regrouping's slices are the C++ unit test's
# (tests/cpp/test_compressed_regroup.cpp); here the whole load, one point (decompressed in
# record order) and many (regrouped).
@pytest.mark.parametrize("points", [1, 2, 5000])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_field_grouped_block_loads_like_binary(write_pcd, layout, points):
    fields = LAYOUTS[layout]
    records = cloud(fields, points, seed=points)
    compressed = write_pcd(
        header_of(fields, points, COMPRESSED) + lzf_section(field_grouped(records))
    )
    binary = write_pcd(header_of(fields, points, "binary") + records.tobytes())
    assert_cloud(kelvarin.load_pcd(compressed), records)
    expected_points, expected_fields = kelvarin.load_pcd(binary)
    points_view, got_fields = kelvarin.load_pcd(compressed)
    assert points_view.tobytes() == expected_points.tobytes()
    assert {k: v.tobytes() for k, v in got_fields.items()} == {
        k: v.tobytes() for k, v in expected_fields.items()
    }


@pytest.mark.parametrize("layout, points", [("xyz", 2), ("lidar", 2), ("rgb_count3", 9)])
def test_incompressible_block_longer_than_the_records(write_pcd, layout, points):
    fields = LAYOUTS[layout]
    rng = np.random.default_rng(7)
    records = np.frombuffer(rng.bytes(dtype_of(fields).itemsize * points), dtype_of(fields))
    data = lzf_section(field_grouped(records))
    assert len(data) - 8 > records.nbytes
    path = write_pcd(header_of(fields, points, COMPRESSED) + data)
    assert_cloud(kelvarin.load_pcd(path), records)


@pytest.mark.parametrize(
    "layout, points, length",
    [
        ("xyz", 4, 24),  # x of all four points and y of two, read field by field
        ("xyz", 4, 1),
        ("xyz", 4, 47),
        ("lidar", 3, 41),  # ends inside ring
        ("rgb_count3", 5, 3 * 20 + 7),  # ends inside the second point's rgb triple
        ("normal_count2_first", 2600, 2600 * 8 + 5),
    ],
)
def test_block_of_fewer_bytes_than_the_records_is_refused(write_pcd, layout, points, length):
    # A short image cannot be split into fields: its values would land in the wrong ones.
    fields = LAYOUTS[layout]
    image = field_grouped(cloud(fields, points))[:length]
    assert_fails(write_pcd(header_of(fields, points, COMPRESSED) + lzf_section(image)))


def block_of(n):
    return lzf_compress(bytes(range(n)))


@pytest.mark.parametrize(
    "points, data, loads",
    [
        (0, lzf_words(0, 0), True),
        (0, lzf_words(len(block_of(10)), 0) + block_of(10), True),  # nothing expected, not read
        (4, lzf_words(0, 0), False),  # four points, no data
        (4, lzf_words(len(block_of(48)), 0) + block_of(48), False),
        (4, lzf_words(3, 0) + b"\x1f\xff\xff", False),
    ],
)
def test_zero_uncompressed_size_only_for_an_empty_cloud(write_pcd, points, data, loads):
    path = write_pcd(header_of(XYZ, points, COMPRESSED) + data)
    if not loads:
        assert_fails(path)
        return
    points_view, fields = kelvarin.load_pcd(path)
    assert points_view.shape == (points, 3) and fields == {}


@pytest.mark.parametrize("trailer", [b"\0", bytes(4096), b"\xff" * 1000, b"garbage\n"])
@pytest.mark.parametrize("points", [1, 300])
def test_bytes_after_the_block_are_ignored(write_pcd, trailer, points):
    records = cloud(LAYOUTS["lidar"], points)
    path = write_pcd(
        header_of(LAYOUTS["lidar"], points, COMPRESSED)
        + lzf_section(field_grouped(records))
        + trailer
    )
    assert_cloud(kelvarin.load_pcd(path), records)


GROUPED_48 = field_grouped(cloud(XYZ, 4))
BLOCK_48 = lzf_compress(GROUPED_48)


@pytest.mark.parametrize(
    "data",
    [
        pytest.param(lzf_words(len(BLOCK_48), 47) + BLOCK_48, id="size-one-short"),
        pytest.param(lzf_words(len(BLOCK_48), 49) + BLOCK_48, id="size-one-over"),
        pytest.param(lzf_section(GROUPED_48[:24], 23), id="24-bytes-declared-23"),
        pytest.param(lzf_section(GROUPED_48[:24], 25), id="24-bytes-declared-25"),
        pytest.param(lzf_section(GROUPED_48 + b"\x01\x02\x03\x04"), id="valid-block-beyond-buffer"),
        pytest.param(lzf_section(bytes(100), 2**32 - 1), id="huge-uncompressed-size"),
        pytest.param(b"", id="no-size-words"),
        pytest.param(lzf_words(len(BLOCK_48), 48)[:4], id="one-size-word"),
        pytest.param(lzf_words(len(BLOCK_48), 48)[:7], id="seven-bytes"),
        pytest.param(lzf_words(len(BLOCK_48), 48) + BLOCK_48[:-1], id="block-cut-by-one"),
        pytest.param(lzf_words(len(BLOCK_48), 48), id="block-missing"),
        pytest.param(lzf_words(2**31 - 1, 48) + BLOCK_48, id="block-at-size-limit-cut-off"),
        pytest.param(lzf_words(0, 48), id="empty-block"),
        pytest.param(lzf_words(0, 1) + BLOCK_48, id="empty-block-then-bytes"),
        pytest.param(lzf_words(2, 48) + b"\x20\x00", id="backref-before-output"),
        pytest.param(lzf_words(5, 48) + b"\x01ab\x20\x02", id="backref-one-past-start"),
        pytest.param(lzf_words(6, 48) + b"\x1fabcde", id="literal-past-block"),
        pytest.param(lzf_words(3, 48) + b"\x00a\xe0", id="long-backref-missing-length"),
    ],
)
def test_bad_sections_fail(write_pcd, data):
    assert_fails(write_pcd(header_of(XYZ, 4, COMPRESSED) + data))


@pytest.mark.parametrize(
    "points, data",
    [
        (0, lzf_section(bytes(12))),  # nothing fits in an empty cloud
        (1, lzf_section(bytes(24), 24)),  # decompresses past the one record
        (4, lzf_words(len(BLOCK_48), 24) + BLOCK_48),  # data left over at the capacity
    ],
)
def test_block_larger_than_capacity_fails(write_pcd, points, data):
    assert_fails(write_pcd(header_of(XYZ, points, COMPRESSED) + data))


PADDED = XYZ + [("_", "U", 1, 4), ("rgb", "F", 4, 1), ("label", "U", 2, 1)]


@pytest.mark.parametrize("points", [1, 3000])
@pytest.mark.parametrize("with_padding", [False, True])
def test_padding_fields_may_be_left_out_of_the_block(write_pcd, points, with_padding):
    # PCL's writer leaves "_" fields out of the block; a block holding them loads too
    records = cloud(PADDED, points, seed=7)
    names = [n for n, *_ in PADDED if with_padding or n != "_"]
    image = b"".join(np.ascontiguousarray(records[n]).tobytes() for n in names)
    path = write_pcd(header_of(PADDED, points, COMPRESSED) + lzf_section(image))
    if not with_padding:
        records["_"] = 0
    assert_cloud(kelvarin.load_pcd(path), records)
