"""Leaks, lifetimes and threads: memory stays flat over thousands of loads and failures, the
point buffer outlives every drop order of the arrays, and threads loading at once see what a
single thread sees."""

import ctypes
import gc
import itertools
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import kelvarin
import process_memory
from pcdwrite import lzf_section, pcd_header

SANITIZED = bool(os.environ.get("KELVARIN_SANITIZED"))


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost"
        ).split()
    ]


def heap_bytes():
    """Bytes the C allocator has handed out, untouched calloc'd pages included: glibc's count,
    or on Windows the committed private memory, where untouched allocations count too."""
    if sys.platform == "win32":
        return process_memory.reserved()
    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is None:
        return 0
    mallinfo2.restype = _Mallinfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


# Forty extra fields make any header that leaks worth kilobytes per call.
EXTRA = [f"f{i}" for i in range(40)]
POINTS = 1260  # 52-byte records: a 64 KiB buffer, touched by binary reads


def header(data="binary", names=("x", "y", "z", *EXTRA), x_type="F"):
    return pcd_header(
        names, [4, 4, 4] + [1] * 40, [x_type, "F", "F"] + ["U"] * 40, points=POINTS, data=data
    )


RECORDS = np.random.default_rng(1).integers(0, 256, POINTS * 52, dtype=np.uint8).tobytes()
LOADS = {
    "binary": (header() + RECORDS, None),
    "compressed": (header("binary_compressed") + lzf_section(RECORDS), None),
    "ascii": (header("ascii") + b"1.5 2 3 4 5\n" * POINTS, None),
    "missing file": (None, "Cannot open PCD file"),
    "no coordinates": (header(names=("x", "y", "w", *EXTRA)) + RECORDS, "x, y, z"),
    "unknown data kind": (header("binary_lz4") + RECORDS, "DATA type"),
    "unsupported field type": (header(x_type="Q") + RECORDS, "type/size"),
    "truncated binary": (header() + RECORDS[:-1], "truncated"),
    # decompression writes most of the image before it runs out of room
    "LZF failure": (header("binary_compressed") + lzf_section(RECORDS, len(RECORDS) - 1), "LZF"),
    "field name not UTF-8": (header().replace(b" f39", b" f\xff9") + RECORDS, "utf-8"),
}


@pytest.mark.skipif(SANITIZED, reason="ASan's quarantine and shadow memory hide the figures")
@pytest.mark.parametrize("case", LOADS.values(), ids=list(LOADS))
def test_memory_flat_over_thousands_of_loads(write_pcd, case):
    content, error = case
    path = write_pcd(content) if content else write_pcd(b"") + ".missing"

    def rounds(n):
        for _ in range(n):
            try:
                points, fields = kelvarin.load_pcd(path)
                assert error is None and points.shape == (POINTS, 3) and len(fields) == 40
            except (RuntimeError, UnicodeDecodeError) as e:
                assert error is not None and error in str(e), e
        gc.collect()

    rounds(300)
    heap, rss = heap_bytes(), process_memory.resident()
    rounds(3000)
    # A leaked buffer would add 190 MiB, a leaked header 5 MiB.
    assert heap_bytes() - heap < 2 << 20
    assert process_memory.resident() - rss < 16 << 20


# x y z float32 make the points a view of the buffer; float64 make them a converted copy, and
# the fields alone share the buffer.
DROP_LAYOUTS = {
    "view": ([4, 4, 4, 4], [1, 1, 1, 1], 16),
    "converted": ([8, 8, 8, 1], [1, 1, 1, 4], 28),
}


@pytest.mark.parametrize("order", list(itertools.permutations(["points", "fields", "slice"])))
@pytest.mark.parametrize("coordinates", list(DROP_LAYOUTS))
def test_buffer_lives_until_the_last_array_in_any_drop_order(write_pcd, coordinates, order):
    sizes, counts, step = DROP_LAYOUTS[coordinates]
    path = write_pcd(
        pcd_header("xyzi", sizes, "FFFU", counts, points=40000)
        + np.random.default_rng(3).bytes(40000 * step)
    )
    heap = heap_bytes()
    points, fields = kelvarin.load_pcd(path)
    alive = {"points": points, "fields": fields, "slice": fields["i"][1::2]}
    expected = {
        name: np.array(value["i"] if name == "fields" else value) for name, value in alive.items()
    }
    del points, fields
    for name in order:
        del alive[name]
        gc.collect()
        scribble = [np.full(1 << 16, 0xAB, np.uint8) for _ in range(64)]  # reuses freed memory
        for other in alive:
            np.testing.assert_array_equal(
                alive[other]["i"] if other == "fields" else alive[other], expected[other]
            )
        del scribble
    del expected
    assert heap_bytes() - heap < 256 << 10  # the buffer (0.6 or 1.1 MiB) went with the last array


def thread_files(write_pcd):
    rng = np.random.default_rng(7)
    xyz = rng.standard_normal((3000, 3)).astype("<f4")
    extra = rng.integers(0, 1 << 16, 3000, dtype="<u2")
    records = np.zeros(3000, [("xyz", "<f4", 3), ("r", "<u2")])
    records["xyz"], records["r"] = xyz, extra
    raw = records.tobytes()
    grouped = xyz.T.copy().tobytes() + extra.tobytes()

    def head(kind):
        return pcd_header("xyzr", [4, 4, 4, 2], "FFFU", points=3000, data=kind)

    text = "\n".join(f"{a!r} {b!r} {c!r} {r}" for (a, b, c), r in zip(xyz.tolist(), extra))
    return [
        write_pcd(head("binary") + raw),
        write_pcd(head("binary_compressed") + lzf_section(grouped)),
        write_pcd(head("ascii") + text.encode()),
        write_pcd(head("binary") + raw[:-1]),
    ]


def outcome(path):
    try:
        points, fields = kelvarin.load_pcd(path)
        return points.tobytes(), {k: v.tobytes() for k, v in fields.items()}
    except RuntimeError as e:
        return str(e)


def test_threads_loading_at_once_match_single_threaded_loads(write_pcd):
    paths = thread_files(write_pcd)
    expected = [outcome(p) for p in paths]
    assert expected[0] == expected[1] == expected[2] and "truncated" in expected[3]
    start, failures = threading.Barrier(6), []

    def work(shift):
        start.wait()
        for round_ in range(40):
            for k in range(len(paths)):
                i = (k + shift + round_) % len(paths)
                if outcome(paths[i]) != expected[i]:
                    failures.append((shift, round_, i))

    threads = [threading.Thread(target=work, args=(s,)) for s in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# The first call in a process binds NumPy's interface, releasing the interpreter lock while it
# waits; several threads making that first call together must all succeed.
FIRST_CALLS = r"""
import sys, threading, kelvarin
assert "numpy" not in sys.modules
start, shapes = threading.Barrier(8), []
def work():
    start.wait()
    shapes.append(kelvarin.load_pcd(sys.argv[1])[0].shape)
threads = [threading.Thread(target=work) for _ in range(8)]
[t.start() for t in threads]
[t.join() for t in threads]
print(sorted(shapes))
"""


def test_threads_making_the_first_call_of_a_process(write_pcd):
    path = thread_files(write_pcd)[1]
    for _ in range(5):
        run = subprocess.run(
            [sys.executable, "-c", FIRST_CALLS, path], capture_output=True, text=True, timeout=120
        )
        assert (run.returncode, run.stdout.strip()) == (0, str([(3000, 3)] * 8)), run.stderr
