"""What the benchmark scripts share: the loaders, their calls, and small helpers."""

from __future__ import annotations

import os

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

BASELINES = {
    "binary": ["numpy.fromfile"],
    "binary_compressed": ["lzf_decompress", "python-lzf+frombuffer"],
    "ascii": ["numpy.loadtxt", "pandas.read_csv"],
}
PEERS = ["pypcd4", "open3d", "open3d.t"]
PEER_MODULE = {"pypcd4": "pypcd4", "open3d": "open3d", "open3d.t": "open3d"}
CALLS = {
    "kelvarin": "kelvarin.load_pcd(path)",
    "numpy.fromfile": "numpy.fromfile(path, dtype=<record dtype>, offset=<data offset>)",
    "lzf_decompress": "liblzf's lzf_decompress (ctypes) of the block, read beforehand, into a"
    " fresh numpy.empty array",
    "python-lzf+frombuffer": "read the block, lzf.decompress, numpy.frombuffer per field"
    " (no regrouping)",
    "numpy.loadtxt": "numpy.loadtxt(path, dtype=<record dtype>, skiprows=<header lines>)",
    "pandas.read_csv": "pandas.read_csv(path, sep=' ', header=None, skiprows=<header lines>,"
    " engine='c', dtype=<per column>)",
    "pypcd4": "pypcd4.PointCloud.from_path(path).pc_data",
    "open3d": "open3d.io.read_point_cloud(path), numpy.asarray(points / colors)",
    "open3d.t": "open3d.t.io.read_point_cloud(path), .numpy() of every attribute",
}
LOADERS = ["kelvarin"] + [b for k in BASELINES for b in BASELINES[k]] + PEERS
KIND_SHORT = {"binary": "binary", "binary_compressed": "compressed", "ascii": "ascii"}


def size_label(n: int) -> str:
    if n % 1_000_000 == 0:
        return f"{n // 1_000_000}M"
    if n % 1000 == 0:
        return f"{n // 1000}k"
    return str(n)


def parse_size(text: str) -> int:
    text = text.strip().lower()
    mult = {"k": 1000, "m": 1_000_000}.get(text[-1], 1)
    return int(float(text.rstrip("km")) * mult)


def find(results, cloud, points, kind, loader):
    for r in results:
        if (r["cloud"], r["points"], r["kind"], r["loader"]) == (cloud, points, kind, loader):
            return r
    return None


def fmt_mb(n: float) -> str:
    return f"{n / 1e6:.0f}" if n >= 1e7 else f"{n / 1e6:.1f}"


def caption(data: dict) -> str:
    m, v = data["machine"], data["versions"]
    peers = ", ".join(f"{k} {v[k]}" for k in ("pypcd4", "open3d") if v.get(k))
    return (
        f"{m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB, Linux {m['kernel']};"
        f" Python {m['python']}, kelvarin {v['kelvarin']}, numpy {v['numpy']},"
        f" pandas {v['pandas']}, python-lzf {v['python-lzf']}"
        + (f", {peers}" if peers else "")
        + f"; {data['date'][:10]}"
    )


def load(path: str) -> dict:
    import json

    with open(path) as fh:
        return json.load(fh)
