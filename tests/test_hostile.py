"""Hostile headers: tiny files that claim gigabytes, extreme size words, 32-bit overflows and
huge header lines must fail with their message or load cheaply, never crash or eat memory."""

import json
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import kelvarin
from pcdwrite import lzf_section, lzf_words, pcd_header

LAYOUT = "Unsupported PCD field layout"
LZF = "LZF decompression failed"
TOO_LONG = "vector too long"
XYZ = dict(fields="xyz", sizes=[4, 4, 4], types="FFF")
IS_32_BIT = sys.maxsize < 2**32
BIG = 2147483640 // 12  # POINTS whose x y z buffer is just under the 2 GiB limit
# Touching a 2 GiB buffer would cost four times this. ASan maps shadow memory for 1/8 of every
# allocation, 1.1 GiB for the 8 GiB of float32 points of the converted case below.
RSS_LIMIT_MB = 512 + (1152 if os.environ.get("KELVARIN_SANITIZED") else 0)

F123 = np.array([1, 2, 3], "<f4").tobytes()

# A separate interpreter loads the file and reports what it got, its peak resident memory and,
# after a failure, how much memory the failed load left reserved (untouched buffers count
# there). Given a number of MiB, it first limits its address space to that much more than it
# has mapped, so a load that asks for a buffer before refusing the file fails as it would in a
# 32-bit process. Linux enforces such a limit; Windows has none and macOS ignores it, and there
# the probe runs without it.
ADDRESS_SPACE_LIMIT = sys.platform.startswith("linux")
PROBE = r"""
import json, sys
sys.path.insert(0, sys.argv[2])
import kelvarin, process_memory

def mb(count):
    return count / 2**20

before = mb(process_memory.reserved())
if len(sys.argv) > 3:
    import resource
    limit = int((before + int(sys.argv[3])) * 2**20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    points, fields = kelvarin.load_pcd(sys.argv[1])
    out = {"shape": list(points.shape), "rows": points[:2].tolist() + points[-1:].tolist(),
           "fields": {k: [list(v.shape), v.flat[:2].tolist()] for k, v in fields.items()}}
except Exception as e:
    out = {"error": type(e).__name__, "message": str(e)}
    out["left_mb"] = mb(process_memory.reserved()) - before
# Linux's VmHWM, unlike ru_maxrss, starts afresh at exec instead of inheriting the parent's peak.
out["rss_mb"] = mb(process_memory.peak_resident())
print(json.dumps(out))
"""


def probe(path, address_space_mb=None):
    here = os.path.dirname(os.path.abspath(__file__))
    extra = [] if address_space_mb is None or not ADDRESS_SPACE_LIMIT else [str(address_space_mb)]
    run = subprocess.run(
        [sys.executable, "-c", PROBE, path, here, *extra],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr[-3000:]
    return json.loads(run.stdout)


ZERO_ROWS = [[0, 0, 0]] * 3


@pytest.mark.parametrize(
    "content, expected",
    [
        pytest.param(
            pcd_header(**XYZ, points=BIG) + F123,
            ("RuntimeError", "PCD data section is truncated: expected 2147483640 bytes, found 12"),
            id="binary",
        ),
        pytest.param(
            pcd_header(**XYZ, points=BIG, data="binary_compressed")
            + lzf_words(999, 12 * BIG)
            + bytes(20),
            ("RuntimeError", LZF),
            id="compressed-block-past-end",
        ),
        # Both size words agree on 2 GiB: the block must be found to run past the file's end before
        # anything is reserved for it.
        pytest.param(
            pcd_header(**XYZ, points=BIG, data="binary_compressed")
            + lzf_words(12 * BIG, 12 * BIG)
            + bytes(20),
            ("RuntimeError", LZF),
            id="compressed-2-gib-block-past-end",
        ),
        pytest.param(
            pcd_header(**XYZ, points=BIG, data="binary_compressed")
            + lzf_section(F123 * 50, 12 * BIG),
            ("RuntimeError", LZF),
            id="compressed-short",
        ),
        # A valid block far shorter than the records.
        pytest.param(
            pcd_header(**XYZ, points=BIG, data="binary_compressed") + lzf_section(F123),
            ("RuntimeError", LZF),
            id="compressed-short-block",
        ),
        pytest.param(
            pcd_header(**XYZ, points=BIG, data="binary_compressed") + lzf_words(0, 0),
            ("RuntimeError", LZF),
            id="compressed-empty-block",
        ),
        pytest.param(
            pcd_header(**XYZ, points=BIG, data="ascii") + b"1 2 3\n",
            ((BIG, 3), [[1, 2, 3], [0, 0, 0], [0, 0, 0]], {}),
            id="ascii",
        ),
        pytest.param(
            pcd_header(**XYZ, points=BIG, data="ascii"),
            ((BIG, 3), ZERO_ROWS, {}),
            id="ascii-no-text",
        ),
        # Coordinates converted to float32 (here from U 1) into zero pages that stay untouched. A
        # 32-bit process has no room for the 2 GiB of records beside 8.6 GB of points.
        pytest.param(
            pcd_header("xyz", [1, 1, 1], "UUU", points=2147483646 // 3, data="ascii") + b"1 2 3\n",
            ("MemoryError", "std::bad_alloc")
            if IS_32_BIT
            else ((715827882, 3), [[1, 2, 3], [0, 0, 0], [0, 0, 0]], {}),
            id="ascii-converted-coordinates",
        ),
        # One record of 2 GiB - 1 bytes: one element of text per number, the rest zero.
        pytest.param(
            pcd_header("xyzh", [4, 4, 4, 1], "FFFU", [1, 1, 1, 2147483635], data="ascii")
            + b"1 2 3 4 5\n",
            ((1, 3), [[1, 2, 3]] * 2, {"h": [[1, 2147483635], [4, 5]]}),
            id="ascii-huge-count",
        ),
        pytest.param(
            pcd_header(
                "xyzh", [4, 4, 4, 1], "FFFU", [1, 1, 1, 2147483635], data="binary_compressed"
            )
            + lzf_section(F123 + b"\7\7", 14),
            ("RuntimeError", LZF),
            id="compressed-huge-count",
        ),
    ],
)
def test_tiny_file_claiming_2_gib_stays_cheap(write_pcd, content, expected):
    # A file refused for what its header and size words show is refused before its buffer is
    # allocated, so it fails with its own message even where 2 GiB cannot be had.
    refused = isinstance(expected[0], str)
    got = probe(write_pcd(content), RSS_LIMIT_MB if refused else None)
    assert got["rss_mb"] < RSS_LIMIT_MB
    if isinstance(expected[0], str):
        assert (got["error"], got["message"]) == expected
        assert got["left_mb"] < 64
    else:
        assert (got["shape"], got["rows"], got["fields"]) == (list(expected[0]), *expected[1:])


def test_converted_coordinates_keep_signed_zeros_and_tiny_values(write_pcd):
    xyz = np.array([[-0.0, 0.0, 1e-300], [-1e-300, 5.0, -0.0]], "<f8")
    points, _ = kelvarin.load_pcd(
        write_pcd(pcd_header(**dict(XYZ, sizes=[8] * 3), points=2) + xyz.tobytes())
    )
    assert points.tobytes() == xyz.astype("<f4").tobytes()


TWO_POINTS = np.arange(1, 7, dtype="<f4")


@pytest.mark.parametrize(
    "compressed_size, uncompressed_size, expected",
    [
        (0, 0, LZF),
        (0, 0xFFFFFFFF, LZF),
        (0, 0x80000000, LZF),
        ("block", 0, LZF),
        ("block", 23, LZF),
        ("block", 24, "values"),
        ("block", 0x7FFFFFFF, LZF),
        ("block", 0x80000000, LZF),
        ("block", 0xFFFFFFFF, LZF),
        (0x7FFFFFFF, 24, LZF),
        (0x7FFFFFFF, 0xFFFFFFFF, LZF),
        (0x80000000, 24, TOO_LONG),
        (0x80000001, 24, TOO_LONG),
        (0xFFFFFFFF, 0, TOO_LONG),
        (0xFFFFFFFF, 0xFFFFFFFF, TOO_LONG),
    ],
)
def test_extreme_size_words(write_pcd, compressed_size, uncompressed_size, expected):
    # Records grouped by field, as PCD writers compress them.
    block = lzf_section(TWO_POINTS.tobytes())[8:]
    size = len(block) if compressed_size == "block" else compressed_size
    path = write_pcd(
        pcd_header(**XYZ, points=2, data="binary_compressed")
        + lzf_words(size, uncompressed_size)
        + block
    )
    if expected in (LZF, TOO_LONG):
        with pytest.raises(ValueError if expected == TOO_LONG else RuntimeError) as e:
            kelvarin.load_pcd(path)
        assert str(e.value) == expected
    else:
        points, _ = kelvarin.load_pcd(path)
        np.testing.assert_array_equal(points, TWO_POINTS.reshape(3, 2).T)


@pytest.mark.parametrize(
    "sizes, counts, points, data, expected",
    [
        # size × count products that wrap to small numbers in 32-bit arithmetic
        ([4, 4, 4, 65536], [1, 1, 1, 32768], 1, 12, LAYOUT),
        ([4, 4, 4, 8], [1, 1, 1, 536870912], 1, 12, LAYOUT),
        ([4, 4, 4, 2147483647], [1, 1, 1, 1], 1, 12, LAYOUT),
        ([2147483647, 4, 4], [2, 1, 1], 1, 12, LAYOUT),
        # sizes and counts beyond 32 bits are refused, not taken modulo 2^32
        (["4294967297", 4, 4], [1, 1, 1], 2, 24, LAYOUT),
        ([4, 4, 4], ["4294967297", 1, 1], 2, 24, LAYOUT),
        ([4, 4, 4], [1, 1, 1], "4294967298", 24, (0, 3)),
        ([4, 4, 4], [1, 1, 1], "-2147483649", 24, (0, 3)),
        # points × point_step beyond 2^31 - 1, or negative
        ([4, 4, 4], [1, 1, 1], BIG + 1, 12, TOO_LONG),
        ([4, 4, 4], [1, 1, 1], 2147483647, 12, TOO_LONG),
        ([4, 4, 4], [1, 1, 1], -1, 12, TOO_LONG),
        ([4, 4, 4], [1, 1, 1], -2147483648, 12, TOO_LONG),
        ([4, 4, 4, 1], [1, 1, 1, 2147483635], 2, 12, TOO_LONG),
        (
            [4, 4, 4, 1],
            [1, 1, 1, 2147483635],
            1,
            12,
            "PCD data section is truncated: expected 2147483647 bytes, found 12",
        ),
    ],
)
def test_32_bit_overflow(write_pcd, sizes, counts, points, data, expected):
    header = pcd_header("xyzh"[: len(sizes)], sizes, "FFFU"[: len(sizes)], counts, points=points)
    path = write_pcd(header + np.arange(1, 1 + data // 4, dtype="<f4").tobytes())
    if isinstance(expected, tuple):
        points, fields = kelvarin.load_pcd(path)
        assert points.shape == expected and fields == {}
        np.testing.assert_array_equal(points.ravel(), np.arange(1, 1 + points.size))
    else:
        with pytest.raises(ValueError if expected == TOO_LONG else RuntimeError) as e:
            kelvarin.load_pcd(path)
        assert str(e.value) == expected


MB = 1 << 20
HEADER_LINE = "PCD header line longer than 1 MiB: not a PCD file"
NO_DATA = pcd_header(**XYZ)[: -len(b"DATA binary\n")]


# Header lines up to 1 MiB long are read; one byte more and the file is refused.
@pytest.mark.parametrize(
    "content, expected",
    [
        (b"#" * MB + b"\n" + pcd_header(**XYZ) + F123, 1),
        (pcd_header(**XYZ, extra="VIEWPOINT" + " 0.5" * (MB // 4 - 3)) + F123, 1),
        (pcd_header(**XYZ).replace(b"POINTS 1", b"POINTS " + b"0" * (MB - 8) + b"2") + F123 * 2, 2),
        # 2^17 more fields, F 4 by default, all named w
        (
            pcd_header(**XYZ).replace(b"FIELDS x y z", b"FIELDS x y z" + b" w" * (1 << 17))
            + F123
            + bytes(4 << 17),
            1,
        ),
        (NO_DATA + b"VIEWPOINT" + b" 1" * (MB // 2 - 5), "Unsupported PCD DATA type: "),
        (NO_DATA + b"#" * MB + b"\n" * MB, "Unsupported PCD DATA type: "),
        (pcd_header(**XYZ, data="q" * (MB - 5)), "Unsupported PCD DATA type: " + "q" * (MB - 5)),
        (b"#" * (MB + 1) + b"\n" + pcd_header(**XYZ) + F123, HEADER_LINE),
        (pcd_header(**XYZ, data="q" * (MB - 4)), HEADER_LINE),
    ],
)
def test_megabyte_header_lines(write_pcd, content, expected):
    path = write_pcd(content)
    if isinstance(expected, str):
        with pytest.raises(RuntimeError) as e:
            kelvarin.load_pcd(path)
        assert str(e.value) == expected
    else:
        points, fields = kelvarin.load_pcd(path)
        np.testing.assert_array_equal(points, np.tile([1, 2, 3], (expected, 1)))
        assert list(fields) == (["w"] if b" w w" in content else [])


# A file without line breaks, here 64 GiB of holes that cost no disk, is refused once its
# first header line passes 1 MiB: at once, in constant memory, without reading the rest.
@pytest.mark.skipif(
    not sys.platform.startswith("linux"),
    reason="needs sparse files and /proc/self/status for the peak memory",
)
@pytest.mark.parametrize("start", [b"", b"# .PCD v0.7\nVERSION 0.7\nFIELDS x y z\nSIZE "])
def test_file_without_line_breaks_fails_at_once(tmp_path, start):
    path = tmp_path / "no_line_breaks.pcd"
    with open(path, "wb") as f:
        f.write(start)
        f.truncate(64 << 30)
    began = time.monotonic()
    got = probe(str(path))
    assert time.monotonic() - began < 10
    assert (got["error"], got["message"]) == ("RuntimeError", HEADER_LINE)
    assert got["rss_mb"] < 256
