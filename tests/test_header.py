"""PCD header lines: keywords, values and record layout, seen through binary files."""

import pytest

import kelvarin
from conftest import assert_loaded, random_bytes

XYZ = "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n"
XYZW = "FIELDS x y z w\nSIZE 4 4 4 2\nTYPE F F F U\n"
COORDS = "PCD must contain x, y, z fields"
NO_KIND = "Unsupported PCD DATA type: "
LAYOUT = "Unsupported PCD field layout"

# (header text, fields of the records that follow, points) or (header text, error message)
CASES = {
    "crlf": (XYZ.replace("\n", "\r\n") + "POINTS 2\r\nDATA binary\r\n", "x:F4 y:F4 z:F4", 2),
    "comment with keyword": (
        "#FIELDS w\n# POINTS 9\n" + XYZ + "POINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4",
        2,
    ),
    "indented comment": ("  #FIELDS w\n" + XYZ + "POINTS 2\nDATA binary\n", "x:F4 y:F4 z:F4", 2),
    "blank lines": ("\n \t \r\n" + XYZ + "\n\nPOINTS 2\n   \nDATA binary\n", "x:F4 y:F4 z:F4", 2),
    "leading white space": (
        "  FIELDS\tx\vy\fz\n\tSIZE 4 4 4\n \t POINTS 2\n  DATA binary\n",
        "x:F4 y:F4 z:F4",
        2,
    ),
    "keywords case-sensitive": (
        XYZ + "fields w\nFields w\nFIELDSX w\nPoints 1\nPOINTS 2\nData ascii\nDATA binary\n",
        "x:F4 y:F4 z:F4",
        2,
    ),
    "data kind lower-cased": (XYZ + "POINTS 2\nDATA Binary\n", "x:F4 y:F4 z:F4", 2),
    "data kind upper, extra words": (XYZ + "POINTS 2\nDATA BINARY ascii\n", "x:F4 y:F4 z:F4", 2),
    "fewer sizes keep default": (
        "FIELDS x y z w\nSIZE 4 4 4\nTYPE F F F U\nPOINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4 w:U4",
        2,
    ),
    "surplus sizes ignored": (
        "FIELDS x y z w\nSIZE 4 4 4 2 8 8\nTYPE F F F U\nPOINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4 w:U2",
        2,
    ),
    "fewer types keep F": (
        "FIELDS x y z w\nSIZE 4 4 4 8\nTYPE F F F\nPOINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4 w:F8",
        2,
    ),
    "types counted by character": (
        "FIELDS x y z v w\nSIZE 4 4 4 1 2\nTYPE FF FUI\nPOINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4 v:U1 w:I2",
        2,
    ),
    "second type line starts again": (
        XYZW + "TYPE F F F I\nPOINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4 w:I2",
        2,
    ),
    "type before fields ignored": (
        "TYPE U U U U\nFIELDS x y z w\nSIZE 4 4 4 8\nPOINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4 w:F8",
        2,
    ),
    "integer ends at letter": (
        "FIELDS x y z v w\nSIZE 4 4 4 2 1abc\nTYPE F F F U U\nPOINTS 2x\nDATA binary\n",
        "x:F4 y:F4 z:F4 v:U2 w:U1",
        2,
    ),
    # An unreadable size or count would otherwise leave the field at its
    # default and misplace every record after the first.
    "plus signs on numbers": (
        "FIELDS x y z w\nSIZE +4 4 4 +2\nTYPE F F F U\nCOUNT 1 +1 1 +3\nPOINTS +2\nDATA binary\n",
        "x:F4 y:F4 z:F4 w:U2x3",
        2,
    ),
    "letters before a size": (
        "FIELDS x y z v w\nSIZE 4 4 4 2abc 1\nTYPE F F F U U\nPOINTS 2\nDATA binary\n",
        LAYOUT,
    ),
    "size not a number": ("FIELDS x y z w\nSIZE 4 4 4 eight\nPOINTS 2\nDATA binary\n", LAYOUT),
    "size beyond 32 bits": (
        "FIELDS x y z w\nSIZE 4 4 4 99999999999\nPOINTS 2\nDATA binary\n",
        LAYOUT,
    ),
    "count not a number": (XYZW + "COUNT 1 1 1 -\nPOINTS 2\nDATA binary\n", LAYOUT),
    "count unreadable before the last field": (
        XYZW + "COUNT 1 1 x 1\nPOINTS 2\nDATA binary\n",
        LAYOUT,
    ),
    "fields lines append": (
        "FIELDS x y\nFIELDS z w\nSIZE 4 4 4 2\nTYPE F F F U\nPOINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4 w:U2",
        2,
    ),
    "values never continue": ("FIELDS x y\nz\nPOINTS 2\nDATA binary\n", COORDS),
    # The last field of a name gives the values, the first its place among the fields.
    "names declared twice": (
        "FIELDS x w y z v w x\nSIZE 1 1 4 4 2 2 4\nTYPE U U F F U I F\nPOINTS 2\nDATA binary\n",
        "x:U1 w:U1 y:F4 z:F4 v:U2 w:I2 x:F4",
        2,
    ),
    "width with two values": (
        XYZ + "WIDTH 640 480\nHEIGHT abc\nPOINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4",
        2,
    ),
    "points missing": (XYZ + "WIDTH 640\nHEIGHT 480\nDATA binary\n", "x:F4 y:F4 z:F4", 0),
    "points not a number": (XYZ + "POINTS abc\nDATA binary\n", "x:F4 y:F4 z:F4", 0),
    "bad points keeps earlier": (
        XYZ + "POINTS 2\nPOINTS abc\nPOINTS\nPOINTS 99999999999\nDATA binary\n",
        "x:F4 y:F4 z:F4",
        2,
    ),
    "later points wins": (XYZ + "POINTS 5\nPOINTS 2\nDATA binary\n", "x:F4 y:F4 z:F4", 2),
    "byte-order mark on fields": ("\ufeff" + XYZ + "POINTS 2\nDATA binary\n", COORDS),
    "byte-order mark on version": (
        "\ufeffVERSION 0.7\n" + XYZ + "POINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4",
        2,
    ),
    "no count line": (XYZW + "POINTS 2\nDATA binary\n", "x:F4 y:F4 z:F4 w:U2", 2),
    "count before fields": (
        "COUNT 3 3 3 3\n" + XYZW + "POINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4 w:U2",
        2,
    ),
    "size after count": (
        "FIELDS x y z w\nCOUNT 1 1 1 2\nSIZE 4 4 4 8\nTYPE F F F I\nPOINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4 w:I8x2",
        2,
    ),
    "fields after count": (
        "FIELDS w x\nCOUNT 3 1\nFIELDS y z\nSIZE 2 4 4 4\nTYPE U\nPOINTS 2\nDATA binary\n",
        "w:U2x3 x:F4 y:F4 z:F4",
        2,
    ),
    "second count line": (
        XYZW + "COUNT 1 1 1 1\nCOUNT 1 1 1 3\nPOINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4 w:U2x3",
        2,
    ),
    "data comment before data line": (
        "# DATA follows\n" + XYZ + "POINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4",
        2,
    ),
    "field named xDATA": (
        "FIELDS x y z xDATA\nSIZE 4 4 4 1\nTYPE F F F U\nPOINTS 2\nDATA binary\n",
        "x:F4 y:F4 z:F4 xDATA:U1",
        2,
    ),
    "no data line": (XYZ + "POINTS 2\n", NO_KIND),
    "data line without value": (XYZ + "POINTS 2\nDATA\nDATA binary\n", NO_KIND),
    "data keyword case-sensitive": (XYZ + "POINTS 2\nData binary\n", NO_KIND),
    "empty file": ("", COORDS),
}


@pytest.mark.parametrize("case", CASES.values(), ids=list(CASES))
def test_header_lines(write_pcd, case):
    data = random_bytes(100)
    path = write_pcd(case[0].encode() + data)
    if len(case) == 2:
        with pytest.raises(RuntimeError) as e:
            kelvarin.load_pcd(path)
        assert str(e.value) == case[1]
    else:
        assert_loaded(kelvarin.load_pcd(path), case[1], data, case[2])


@pytest.mark.parametrize("points, error", [(0, None), (2, "expected 24 bytes, found 0")])
def test_data_line_without_line_feed(write_pcd, points, error):
    path = write_pcd(f"{XYZ}POINTS {points}\nDATA binary".encode())
    if error:
        with pytest.raises(RuntimeError, match="^PCD data section is truncated: " + error):
            kelvarin.load_pcd(path)
    else:
        assert kelvarin.load_pcd(path)[0].shape == (0, 3)
