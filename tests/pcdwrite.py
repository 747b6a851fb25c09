"""Writes PCD files: the header text, records in the three data kinds and liblzf's own LZF
blocks. Shared by the pytest suite, the fuzzing seeds (tests/fuzz/make_seeds.py) and the
benchmark clouds (benchmarks/pcdgen.py); needs only the standard library and liblzf.

A field is (name, type letter, size, count); a point's values are one list of elements per
field."""

import ctypes
import functools
import os
import struct

# struct codes of the (type, size) pairs PCD files use.
STRUCT_CODES = {
    ("F", 4): "f",
    ("F", 8): "d",
    ("I", 1): "b",
    ("I", 2): "h",
    ("I", 4): "i",
    ("I", 8): "q",
    ("U", 1): "B",
    ("U", 2): "H",
    ("U", 4): "I",
    ("U", 8): "Q",
}


def pcd_header(fields, sizes, types, counts=None, points=1, data="binary", extra=""):
    """Text of a PCD header; list arguments are joined with spaces, `extra` lines go before
    DATA."""
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


def header_of(fields, points, data="binary", extra=""):
    """Header of (name, type, size, count) fields."""
    names, types, sizes, counts = zip(*fields) if fields else ((), (), (), ())
    return pcd_header(names, sizes, types, counts, points=points, data=data, extra=extra)


def _packed(fields, elements):
    return struct.pack(
        "<" + "".join(STRUCT_CODES[(t, s)] * len(e) for (_, t, s, _), e in zip(fields, elements)),
        *[v for e in elements for v in e],
    )


def binary_records(fields, points):
    """DATA binary: each point's fields packed in declaration order."""
    return b"".join(_packed(fields, point) for point in points)


def grouped_records(fields, points):
    """The image binary_compressed compresses: all points' elements of one field, field after
    field (a field's COUNT elements of a point stay together)."""
    return b"".join(
        _packed([field], [point[i]]) for i, field in enumerate(fields) for point in points
    )


def field_grouped(records):
    """grouped_records of a NumPy structured array of packed records."""
    return b"".join(records[name].tobytes() for name in records.dtype.names)


def ascii_records(points, eol="\n"):
    """DATA ascii: one line per point, its elements as Python prints them."""
    return "".join(" ".join(str(v) for e in point for v in e) + eol for point in points).encode()


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
    """One LZF block of `data` (empty for empty data)."""
    if not data:
        return b""
    block = lzf_compressor()(bytes(data), len(data) + len(data) // 16 + 64)
    if not block:
        raise RuntimeError("LZF compression failed")
    return block


def lzf_words(compressed_size, uncompressed_size):
    """The two little-endian uint32 size words that open a binary_compressed section."""
    return struct.pack("<II", compressed_size, uncompressed_size)


def lzf_section(raw, uncompressed_size=None):
    """Size words and LZF block of `raw`; the uncompressed size can be overridden."""
    block = lzf_compress(raw)
    size = len(raw) if uncompressed_size is None else uncompressed_size
    return lzf_words(len(block), size) + block
