"""DATA binary: the record buffer, the points and field arrays over it, and refused files."""

import numpy as np
import pytest

import kelvarin
from conftest import assert_loaded, fields_of, packed_fields, random_bytes
from pcdwrite import header_of

COORDS = "PCD must contain x, y, z fields"
LAYOUT = "Unsupported PCD field layout"
TYPE_SIZE = "Unsupported PCD type/size"
TOO_LONG = "vector too long"


def cloud(layout, points, kind="binary"):
    return header_of(fields_of(layout), points, kind)


# layout, whether x y z are three adjacent 4-byte floats the points array can view in place
LAYOUTS = [
    ("x:F4 y:F4 z:F4", True),
    ("x:F4 y:F4 z:F4 intensity:F4", True),
    ("x:F4 y:F4 z:F4 a:F8 b:I1 c:I2 d:I4 e:I8 f:U1 g:U2 h:U4 i:U8", True),
    ("x:F4 y:F4 z:F4 normal:F4x3 descriptor:U1x33 stamp:F8x2", True),
    ("x:F4 y:F4 z:F4 _:U1x4 rgb:F4 _:U1x12", True),
    ("ring:U2 x:F4 y:F4 z:F4 v:I1 v:I2", True),
    ("x:f4 y:f4 z:f4 xx:I1 x1:U1 X:F4 xDATA:U1", True),
    ("x:F4 x:F4 y:F4 z:F4", True),
    ("x:F8 y:F8 z:F8 t:F8", False),
    ("x:I2 y:I2 z:I2", False),
    ("x:U1 y:i4 z:f8 w:U2", False),
    ("x:I8 y:U8 z:u4", False),
    ("z:F4 y:F4 x:F4", False),
    ("y:F4 z:F4 x:F4", False),
    ("x:F4 w:U1 y:F4 z:F4", False),
    ("x:F4 y:F4 w:U1 z:F4", False),
    ("x:F4 y:F4 z:F4 z:F4", False),
    ("x:F4x2 y:F4 z:F4", False),
    ("x:F4 y:F4 z:F4 x:F4", False),
]


@pytest.mark.parametrize("points", [0, 5])
@pytest.mark.parametrize("layout, in_place", LAYOUTS)
def test_records(write_pcd, layout, in_place, points):
    step = sum(size * count for _, _, size, count in fields_of(layout))
    data = random_bytes(points * step, seed=step)
    result = kelvarin.load_pcd(write_pcd(cloud(layout, points) + data + b"\xff" * 7))
    assert_loaded(result, layout, data, points)
    xyz, fields = result
    bases = {id(array.base) for array in fields.values()}
    assert len(bases) <= 1 and all(array.flags.writeable for array in fields.values())
    for array in fields.values():
        count = array.shape[1] if array.ndim == 2 else 1
        assert array.strides == ((step, array.itemsize) if count > 1 else (step,))
        assert not array.flags.owndata
    assert xyz.flags.writeable
    if in_place:
        assert xyz.strides == (step, 4) and not xyz.flags.owndata
        assert not isinstance(xyz.base, np.ndarray) and bases <= {id(xyz.base)}
        expected = packed_fields(fields_of(layout), data, points)
        assert xyz.tobytes() == np.stack([expected[a] for a in "xyz"], axis=1).tobytes()
    else:
        assert xyz.flags.c_contiguous and xyz.flags.owndata


def test_writes_show_through_other_views(write_pcd):
    data = random_bytes(4 * 16)
    points, fields = kelvarin.load_pcd(write_pcd(cloud("x:F4 y:F4 z:F4 i:U4", 4) + data))
    # a window over whole records, made from the points array alone
    records = np.lib.stride_tricks.as_strided(points.view(np.uint8), (4, 16), (16, 1))
    assert records.tobytes() == data
    fields["i"][2] = 0x01020304
    assert records[2, 12:].tolist() == [4, 3, 2, 1]
    records[1, 4:8] = np.frombuffer(np.float32(2.5).tobytes(), np.uint8)
    assert points[1, 1] == 2.5


@pytest.mark.parametrize(
    "layout, points, data, error",
    [
        ("x:F4 y:F4", 1, 12, COORDS),
        ("X:F4 Y:F4 Z:F4", 1, 12, COORDS),
        ("xx:F4 y:F4 z:F4", 1, 12, COORDS),
        ("x:F4 y:F4 Z:F4", 2147483647, 0, COORDS),
        ("x:F4 y:F4 w:U0", 2147483647, 0, COORDS),
        ("x:F4 y:F4 z:F4 w:U0", 2147483647, 0, LAYOUT),
        ("x:F4 y:F4 z:F4 w:U-4", 1, 12, LAYOUT),
        ("x:F4 y:F4 z:F4 w:U1x0", 1, 12, LAYOUT),
        ("x:F4 y:F4 z:F4 w:U1x-1", 1, 12, LAYOUT),
        ("x:F0 y:F4 z:F4", 1, 12, LAYOUT),
        ("x:F4 y:F4 z:F4 w:F8x2000000000", 1, 12, LAYOUT),
        ("x:F4 y:F4 z:F4 w:U1x2147483636", 0, 0, LAYOUT),
        ("x:F4 y:F4 z:F4", 3, 35, "PCD data section is truncated: expected 36 bytes, found 35"),
        ("x:F4 y:F4 z:F4 w:F2", 3, 0, "PCD data section is truncated: expected 42 bytes, found 0"),
        ("x:F4 y:F4 z:F4 w:F2", 3, 42, TYPE_SIZE),
        ("x:F4 y:F4 z:F4 w:F1", 3, 39, TYPE_SIZE),
        ("x:F4 y:F4 z:F4 w:f4", 3, 48, TYPE_SIZE),
        ("x:F4 y:F4 z:F4 w:I3", 0, 0, TYPE_SIZE),
        ("x:F4 y:F4 z:F4 w:U16", 1, 28, TYPE_SIZE),
        ("x:F4 y:F4 z:F4 w:Q4", 1, 16, TYPE_SIZE),
        ("x:F2 y:F4 z:F4", 1, 10, TYPE_SIZE),
        ("x:F4 y:Q4 z:F4", 0, 0, TYPE_SIZE),
        ("x:F4 y:F4 z:I3", 1, 11, TYPE_SIZE),
        ("x:F4 y:F4 z:F4 w:u16", 1, 28, TYPE_SIZE),
    ],
)
def test_refused(write_pcd, layout, points, data, error):
    path = write_pcd(cloud(layout, points) + random_bytes(data))
    with pytest.raises(RuntimeError) as e:
        kelvarin.load_pcd(path)
    assert str(e.value) == error


@pytest.mark.parametrize(
    "points, kind, error",
    [
        (3, "binary_lz4", "Unsupported PCD DATA type: binary_lz4"),
        (3, "Foo", "Unsupported PCD DATA type: foo"),
        (3, "BINARY_Compressed2", "Unsupported PCD DATA type: binary_compressed2"),
        (2147483647, "Foo", TOO_LONG),
    ],
)
def test_unknown_data_kind(write_pcd, points, kind, error):
    with pytest.raises(ValueError if error == TOO_LONG else RuntimeError) as e:
        kelvarin.load_pcd(write_pcd(cloud("x:F4 y:F4 z:F4", points, kind) + b"\0" * 5))
    assert str(e.value) == error


# Which bytes are escaped is for the C++ unit tests; here the message reaches Python whole.
@pytest.mark.parametrize("kind, shown", [(b"bin\x00\xffa\xc3\xa4ry", "bin\\x00\\xffa\u00e4ry")])
def test_unknown_data_kind_shown_whole(write_pcd, kind, shown):
    header = cloud("x:F4 y:F4 z:F4", 1, "placeholder").replace(b"placeholder", kind)
    with pytest.raises(RuntimeError) as e:
        kelvarin.load_pcd(write_pcd(header + bytes(12)))
    assert str(e.value) == "Unsupported PCD DATA type: " + shown


def test_field_name_not_utf8(write_pcd):
    header = cloud("x:F4 y:F4 z:F4 name:U1", 1).replace(b"name", b"n\xffm")
    with pytest.raises(UnicodeDecodeError):
        kelvarin.load_pcd(write_pcd(header + bytes(13)))
