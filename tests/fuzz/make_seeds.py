"""Writes small PCD files of every data kind into a directory, as fuzzing seeds.

Usage: python make_seeds.py OUT_DIR
Needs only the standard library and liblzf.so.1 (Debian's liblzf1).
"""

import ctypes
import os
import struct
import sys

_lzf = ctypes.CDLL("liblzf.so.1")
_lzf.lzf_compress.restype = ctypes.c_uint
_lzf.lzf_compress.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_void_p, ctypes.c_uint]


def lzf(data):
    out = ctypes.create_string_buffer(len(data) + len(data) // 16 + 64)
    n = _lzf.lzf_compress(data, len(data), out, len(out))
    return out.raw[:n] if data else b""


def header(fields, points, data, extra=()):
    names, types, sizes, counts = zip(*fields)
    lines = ["# .PCD v0.7 - Point Cloud Data file format", "VERSION 0.7",
             "FIELDS " + " ".join(names),
             "SIZE " + " ".join(map(str, sizes)),
             "TYPE " + " ".join(types),
             "COUNT " + " ".join(map(str, counts)),
             f"WIDTH {points}", "HEIGHT 1", "VIEWPOINT 0 0 0 1 0 0 0", f"POINTS {points}",
             *extra, f"DATA {data}"]
    return ("\n".join(lines) + "\n").encode()


FMT = {("F", 4): "f", ("F", 8): "d", ("I", 1): "b", ("I", 2): "h", ("I", 4): "i", ("I", 8): "q",
       ("U", 1): "B", ("U", 2): "H", ("U", 4): "I", ("U", 8): "Q"}

LAYOUTS = {
    "xyz": [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1)],
    "rich": [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1), ("rgb", "U", 1, 3),
             ("ring", "U", 2, 1), ("t", "F", 8, 1), ("label", "I", 4, 1), ("n", "F", 4, 2)],
    "int_xyz": [("x", "I", 2, 1), ("y", "U", 1, 1), ("z", "F", 8, 1), ("_", "U", 1, 4)],
}


def values(fields, points):
    """Per point, per field, per element: a small number that fits every type."""
    return [[[(p * 7 + e * 3 + i) % 100 for e in range(c)] for i, (_, _, _, c) in enumerate(fields)]
            for p in range(points)]


def binary_records(fields, vals):
    out = b""
    for point in vals:
        for (_, t, s, _), elems in zip(fields, point):
            out += struct.pack("<" + FMT[(t, s)] * len(elems), *elems)
    return out


def grouped(fields, vals):
    out = b""
    for i, (_, t, s, _) in enumerate(fields):
        for point in vals:
            out += struct.pack("<" + FMT[(t, s)] * len(point[i]), *point[i])
    return out


def ascii_text(fields, vals, eol="\n"):
    lines = []
    for point in vals:
        words = []
        for (_, t, _, _), elems in zip(fields, point):
            words += [f"{v / 4}" if t == "F" else str(v) for v in elems]
        lines.append(" ".join(words))
    return (eol.join(lines) + eol).encode()


def seeds():
    for name, fields in LAYOUTS.items():
        for points in (0, 1, 3):
            vals = values(fields, points)
            yield (f"{name}_{points}_binary",
                   header(fields, points, "binary") + binary_records(fields, vals))
            image = grouped(fields, vals)
            block = lzf(image)
            yield (f"{name}_{points}_compressed",
                   header(fields, points, "binary_compressed")
                   + struct.pack("<II", len(block), len(image)) + block)
            yield (f"{name}_{points}_ascii",
                   header(fields, points, "ascii") + ascii_text(fields, vals))
    xyz = LAYOUTS["xyz"]
    yield "crlf_ascii", header(xyz, 2, "ascii").replace(b"\n", b"\r\n") + b"1 2 3\r\n4 5 6\r\n"
    yield "ascii_words", header(xyz, 3, "ascii") + b"nan inf -inf\n1e-45 -0 +1\n0x10 1e400 .5\n"
    yield "ascii_short", header(xyz, 4, "ascii") + b"1 2\n"
    # What printf's %.8e, %.18e, %.9g and %f write, and exponents at the edges
    # of the binary32 range.
    yield "ascii_exponents", header(xyz, 4, "ascii") + (
        b"-8.12345678e+01 5.00000000e-02 1.23456789E-05\n"
        b"5.521196746826171875e+01 -3.454669189453125000e+01 0.000000000000000000e+00\n"
        b"-12.3456789 0.0123456789 37.000000\n"
        b"3.40282357e+38 1.17549429e-38 1.4e-45\n")
    yield "no_newline", header(xyz, 0, "binary").rstrip(b"\n")
    yield "no_data_line", header(xyz, 1, "binary").replace(b"DATA binary\n", b"")
    yield "unknown_kind", header(xyz, 1, "binary_zstd") + bytes(12)
    yield "uppercase_kind", header(xyz, 1, "BINARY") + bytes(12)
    zeros = bytes([0x00, 0x00, 0xE0, 0x02, 0x00])  # one literal 0, then a back reference of 11
    words = lambda c, u: struct.pack("<II", c, u)  # noqa: E731
    yield "backref", header(xyz, 1, "binary_compressed") + words(len(zeros), 12) + zeros
    yield "compressed_empty", header(xyz, 1, "binary_compressed") + words(0, 0)
    yield "compressed_short", header(xyz, 4, "binary_compressed") + words(5, 12) + zeros
    yield "truncated_binary", header(xyz, 4, "binary") + bytes(20)
    yield "huge_points", header(xyz, 178956970, "ascii") + b"1 2 3\n"
    yield "count_fields", header([("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1),
                                  ("h", "U", 1, 33)], 1, "ascii") + b"1 2 3 " + b"7 " * 33 + b"\n"
    yield "comments", b"# c\n\n" + header(xyz, 1, "binary", extra=["# in", "FOO b"]) + bytes(12)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, content in seeds():
        with open(os.path.join(out, name + ".pcd"), "wb") as f:
            f.write(content)


if __name__ == "__main__":
    main()
