"""Times one loader on one file, in a fresh process of its own.

Run by measure.py as `python worker.py '<json job>'`; prints one JSON line.

In order:
  1. imports, then the RSS before the first call (the high-water mark is reset
     through /proc/self/clear_refs so that imports do not count);
  2. the first call, untimed: its RSS high-water mark minus the RSS before is
     the load's peak extra memory, its result stays alive until measured;
  3. the result is checked against kelvarin's load of the same cloud
     (NaN-aware; compressed data regrouped by field, as kelvarin does);
  4. the timed calls, each result dropped before the next; the median is
     reported by measure.py.
"""

from __future__ import annotations

import gc
import json
import math
import os
import struct
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcdgen  # noqa: E402

# ---------------------------------------------------------------- memory


def _status_kib(key: str) -> int:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


# ---------------------------------------------------------------- loaders
# Each maker returns a zero-argument call that loads the file and returns its
# arrays, and a normaliser giving {name: array} for the check.


def _fields(job):
    return pcdgen.CLOUDS[job["cloud"]]


def make_kelvarin(job):
    import kelvarin

    path = job["path"]

    def call():
        return kelvarin.load_pcd(path)

    return call, normalise_kelvarin


def normalise_kelvarin(result):
    points, fields = result
    out = {"x": points[:, 0], "y": points[:, 1], "z": points[:, 2]}
    out.update(fields)
    return out


def record_columns(rec):
    """A structured array as one column per field."""
    return {name: rec[name] for name in rec.dtype.names}


def make_fromfile(job):
    path, offset = job["path"], job["data_offset"]
    dtype = pcdgen.record_dtype(_fields(job))

    def call():
        return np.fromfile(path, dtype=dtype, offset=offset)

    return call, record_columns


def make_lzf(job):
    import lzf

    path, offset, points = job["path"], job["data_offset"], job["points"]
    layout = []
    at = 0
    for f in _fields(job):
        layout.append((f.name, f.dtype, f.count, at))
        at += points * f.width

    def call():
        with open(path, "rb") as fh:
            fh.seek(offset)
            compressed, uncompressed = struct.unpack("<II", fh.read(8))
            block = fh.read(compressed)
        raw = lzf.decompress(block, uncompressed)
        del block
        out = {}
        for name, dtype, count, start in layout:
            a = np.frombuffer(raw, dtype=dtype, count=points * count, offset=start)
            out[name] = a if count == 1 else a.reshape(points, count)
        return out

    return call, lambda d: d


def make_lzf_decompress(job):
    """liblzf's lzf_decompress of the block, read beforehand, into a fresh NumPy array."""
    import ctypes

    liblzf = ctypes.CDLL("liblzf.so.1")
    liblzf.lzf_decompress.restype = ctypes.c_uint
    c_uint, c_void_p = ctypes.c_uint, ctypes.c_void_p
    liblzf.lzf_decompress.argtypes = [c_void_p, c_uint, c_void_p, c_uint]
    with open(job["path"], "rb") as fh:
        fh.seek(job["data_offset"])
        compressed, uncompressed = struct.unpack("<II", fh.read(8))
        block = np.frombuffer(fh.read(compressed), dtype=np.uint8)
    decompress = liblzf.lzf_decompress

    def call():
        out = np.empty(uncompressed, dtype=np.uint8)
        if decompress(block.ctypes.data, compressed, out.ctypes.data, uncompressed) != uncompressed:
            raise RuntimeError("lzf_decompress failed")
        return out

    fields, points = _fields(job), job["points"]

    def normalise(raw):
        out, at = {}, 0
        for f in fields:
            a = np.frombuffer(raw, dtype=f.dtype, count=points * f.count, offset=at)
            out[f.name] = a if f.count == 1 else a.reshape(points, f.count)
            at += points * f.width
        return out

    return call, normalise


def make_loadtxt(job):
    path, skip = job["path"], job["header_lines"]
    dtype = pcdgen.record_dtype(_fields(job))

    def call():
        return np.loadtxt(path, dtype=dtype, skiprows=skip)

    return call, record_columns


def make_pandas(job):
    import pandas as pd

    path, skip = job["path"], job["header_lines"]
    columns = []  # (field name, element dtype, count)
    dtypes = {}
    for f in _fields(job):
        for _ in range(f.count):
            dtypes[len(dtypes)] = f.dtype
        columns.append((f.name, f.count))

    def call():
        return pd.read_csv(path, sep=" ", header=None, skiprows=skip, engine="c", dtype=dtypes)

    def normalise(df):
        out, col = {}, 0
        for name, count in columns:
            if count == 1:
                out[name] = df[col].to_numpy()
            else:
                out[name] = df[list(range(col, col + count))].to_numpy()
            col += count
        return out

    return call, normalise


def make_pypcd4(job):
    from pypcd4 import PointCloud

    path = job["path"]

    def call():
        return PointCloud.from_path(path).pc_data

    def normalise(rec):
        # pypcd4 splits a COUNT > 1 field into name__0000, name__0001, ...
        out, split = {}, {}
        for name in rec.dtype.names:
            base, sep, idx = name.rpartition("__")
            if sep and idx.isdigit():
                split.setdefault(base, []).append(rec[name])
            else:
                out[name] = rec[name]
        for base, cols in split.items():
            out[base] = np.stack(cols, axis=1)
        return out

    return call, normalise


def _quiet_open3d():
    import open3d as o3d

    o3d.utility.set_verbosity_level(o3d.utility.VerbosityLevel.Error)
    return o3d


def make_open3d(job):
    o3d = _quiet_open3d()
    path = job["path"]

    def call():
        pcd = o3d.io.read_point_cloud(path)
        out = {"positions": np.asarray(pcd.points)}
        if pcd.has_colors():
            out["colors_float"] = np.asarray(pcd.colors)
        if pcd.has_normals():
            out["normals"] = np.asarray(pcd.normals)
        return pcd, out

    def normalise(result):
        _, out = result
        norm = {
            "x": out["positions"][:, 0],
            "y": out["positions"][:, 1],
            "z": out["positions"][:, 2],
        }
        if "colors_float" in out:
            norm["colors"] = np.rint(out["colors_float"] * 255.0).astype(np.uint8)
        return norm

    return call, normalise


def make_open3d_t(job):
    o3d = _quiet_open3d()
    path = job["path"]

    def call():
        pcd = o3d.t.io.read_point_cloud(path)
        return {name: tensor.numpy() for name, tensor in pcd.point.items()}

    def normalise(d):
        out = {}
        for name, a in d.items():
            if name == "positions":
                out.update(x=a[:, 0], y=a[:, 1], z=a[:, 2])
            else:
                out[name] = a
        return out

    return call, normalise


MAKERS = {
    "kelvarin": make_kelvarin,
    "numpy.fromfile": make_fromfile,
    "python-lzf+frombuffer": make_lzf,
    "lzf_decompress": make_lzf_decompress,
    "numpy.loadtxt": make_loadtxt,
    "pandas.read_csv": make_pandas,
    "pypcd4": make_pypcd4,
    "open3d": make_open3d,
    "open3d.t": make_open3d_t,
}

# ---------------------------------------------------------------- check


def _squeeze(a):
    a = np.asarray(a)
    return a.reshape(a.shape[0]) if a.ndim == 2 and a.shape[1] == 1 else a


def compare(got: dict, ref: dict) -> dict:
    """NaN-aware comparison of the fields a loader returned with kelvarin's."""
    if "rgb" in ref:
        rgb = ref["rgb"].astype(np.uint32)
        ref = dict(ref)
        ref["colors"] = np.stack([(rgb >> 16) & 255, (rgb >> 8) & 255, rgb & 255], axis=1).astype(
            np.uint8
        )
    compared, problems = [], []
    for name, a in got.items():
        if name not in ref:
            problems.append(f"{name}: not a field of the file")
            continue
        a, r = _squeeze(a), _squeeze(ref[name])
        compared.append(name)
        if a.shape != r.shape:
            note = ""
            if a.ndim == 1 and r.ndim == 2 and a.shape[0] == r.shape[0]:
                same = np.array_equal(a.astype(r.dtype), r[:, 0], equal_nan=True)
                note = f": only 1 of {r.shape[1]} elements a point" + (
                    ", equal to the first" if same else ""
                )
            problems.append(f"{name}: shape {a.shape} != {r.shape}{note}")
            continue
        if a.dtype != r.dtype:
            a = a.astype(r.dtype)  # e.g. float64 positions compared in float32
        if r.dtype.kind == "f":
            bad = ~((a == r) | (np.isnan(a) & np.isnan(r)))
        else:
            bad = a != r
        n_bad = int(np.count_nonzero(bad))
        if n_bad:
            where = np.argwhere(bad)[0]
            problems.append(
                f"{name}: {n_bad} of {bad.size} differ (first at {tuple(int(i) for i in where)}:"
                f" {a[tuple(where)]!r} != {r[tuple(where)]!r})"
            )
    returned = set(got) | ({"rgb"} if "colors" in got else set())
    skipped = [name for name in ref if name != "colors" and name not in returned]
    return {"compared": compared, "not_returned": skipped, "problems": problems}


# ---------------------------------------------------------------- main


def main() -> None:
    job = json.loads(sys.argv[1])
    if job.get("cpus"):
        os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[: job["cpus"]])
    call, normalise = MAKERS[job["loader"]](job)
    check = job.get("check", True)
    ref = None
    if check:
        # kelvarin's load of the binary file of the same cloud: the same numbers
        # in every kind, so kelvarin's own kinds are checked against each other.
        import kelvarin

        ref = normalise_kelvarin(kelvarin.load_pcd(job["reference"]))
        ref = {k: np.array(v) for k, v in ref.items()}  # own copies, buffer freed

    gc.collect()
    gc.disable()
    peak_exact = reset_peak()
    rss_before = _status_kib("VmRSS")
    hwm_before = _status_kib("VmHWM")
    t = time.perf_counter()
    result = call()
    first = time.perf_counter() - t
    peak = _status_kib("VmHWM")
    if not peak_exact:
        peak = max(peak, hwm_before)
    out = {
        "first_s": first,
        "peak_extra_bytes": (peak - rss_before) * 1024,
        "peak_exact": peak_exact,
    }
    if check:
        out["check"] = compare(normalise(result), ref)
        ref = None
    del result
    gc.enable()
    gc.collect()
    gc.disable()

    min_runs, max_runs = job["min_runs"], job["max_runs"]
    if first >= job["slow_s"]:
        n = job["slow_runs"]
    else:
        n = max(min_runs, min(max_runs, math.ceil(job["budget_s"] / max(first, 1e-6))))
    times, cpu = [], []
    for i in range(n):
        c = time.process_time()  # CPU time of every thread of the process
        t = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - t)
        cpu.append(time.process_time() - c)
        del result
        if job.get("progress") and first >= 0.5:
            sys.stderr.write(f"\x1b[2K\r    {job['label']}: run {i + 1}/{n} {times[-1]:.2f}s")
            sys.stderr.flush()
    gc.enable()
    out["times"] = times
    out["cpu_times"] = cpu
    print(json.dumps(out))


if __name__ == "__main__":
    main()
