"""Writes small PCD files of every data kind into a directory, as fuzzing seeds.

Usage: python make_seeds.py OUT_DIR
Needs only the standard library and liblzf.so.1 (Debian's liblzf1); the files are written
by tests/pcdwrite.py.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from pcdwrite import (  # noqa: E402
    ascii_records,
    binary_records,
    grouped_records,
    header_of,
    lzf_section,
    lzf_words,
)

LAYOUTS = {
    "xyz": [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1)],
    "rich": [
        ("x", "F", 4, 1),
        ("y", "F", 4, 1),
        ("z", "F", 4, 1),
        ("rgb", "U", 1, 3),
        ("ring", "U", 2, 1),
        ("t", "F", 8, 1),
        ("label", "I", 4, 1),
        ("n", "F", 4, 2),
    ],
    "int_xyz": [("x", "I", 2, 1), ("y", "U", 1, 1), ("z", "F", 8, 1), ("_", "U", 1, 4)],
}


def values(fields, points):
    """Per point, per field, per element: a small number that fits every type (a multiple of
    1/4 in float fields)."""
    return [
        [
            [v / 4 if t == "F" else v for v in ((p * 7 + e * 3 + i) % 100 for e in range(c))]
            for i, (_, t, _, c) in enumerate(fields)
        ]
        for p in range(points)
    ]


def seeds():
    for name, fields in LAYOUTS.items():
        for points in (0, 1, 3):
            vals = values(fields, points)
            yield (
                f"{name}_{points}_binary",
                header_of(fields, points, "binary") + binary_records(fields, vals),
            )
            yield (
                f"{name}_{points}_compressed",
                header_of(fields, points, "binary_compressed")
                + lzf_section(grouped_records(fields, vals)),
            )
            yield (
                f"{name}_{points}_ascii",
                header_of(fields, points, "ascii") + ascii_records(vals),
            )
    xyz = LAYOUTS["xyz"]
    yield "crlf_ascii", header_of(xyz, 2, "ascii").replace(b"\n", b"\r\n") + b"1 2 3\r\n4 5 6\r\n"
    yield "ascii_words", header_of(xyz, 3, "ascii") + b"nan inf -inf\n1e-45 -0 +1\n0x10 1e400 .5\n"
    yield "ascii_short", header_of(xyz, 4, "ascii") + b"1 2\n"
    # What printf's %.8e, %.18e, %.9g and %f write, and exponents at the edges
    # of the binary32 range.
    yield (
        "ascii_exponents",
        header_of(xyz, 4, "ascii")
        + (
            b"-8.12345678e+01 5.00000000e-02 1.23456789E-05\n"
            b"5.521196746826171875e+01 -3.454669189453125000e+01 0.000000000000000000e+00\n"
            b"-12.3456789 0.0123456789 37.000000\n"
            b"3.40282357e+38 1.17549429e-38 1.4e-45\n"
        ),
    )
    # Records short enough for the vector kernels to take two at a time.
    yield (
        "ascii_short_records",
        header_of(xyz, 16, "ascii") + b"".join(b"%d -%d.5 %d\n" % (i, i, 3 * i) for i in range(16)),
    )
    yield "no_newline", header_of(xyz, 0, "binary").rstrip(b"\n")
    yield "no_data_line", header_of(xyz, 1, "binary").replace(b"DATA binary\n", b"")
    yield "unknown_kind", header_of(xyz, 1, "binary_zstd") + bytes(12)
    yield "uppercase_kind", header_of(xyz, 1, "BINARY") + bytes(12)
    zeros = bytes([0x00, 0x00, 0xE0, 0x02, 0x00])  # one literal 0, then a back reference of 11
    yield "backref", header_of(xyz, 1, "binary_compressed") + lzf_words(len(zeros), 12) + zeros
    yield "compressed_empty", header_of(xyz, 1, "binary_compressed") + lzf_words(0, 0)
    yield "compressed_short", header_of(xyz, 4, "binary_compressed") + lzf_words(5, 12) + zeros
    yield "truncated_binary", header_of(xyz, 4, "binary") + bytes(20)
    yield "huge_points", header_of(xyz, 178956970, "ascii") + b"1 2 3\n"
    yield (
        "count_fields",
        header_of(
            [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1), ("h", "U", 1, 33)], 1, "ascii"
        )
        + b"1 2 3 "
        + b"7 " * 33
        + b"\n",
    )
    yield "comments", b"# c\n\n" + header_of(xyz, 1, "binary", extra="# in\nFOO b") + bytes(12)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, content in seeds():
        with open(os.path.join(out, name + ".pcd"), "wb") as f:
            f.write(content)


if __name__ == "__main__":
    main()
