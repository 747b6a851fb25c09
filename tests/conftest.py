import os
import struct

import numpy as np
import pytest

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "pcd-corpus")


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
