"""What the benchmark scripts share: the loaders, their calls, and small helpers."""

from __future__ import annotations

import os
import platform
import subprocess
import sys

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


# ---------------------------------------------------------------- machine and versions


def machine_info() -> dict:
    model = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem_gib = None
    try:
        with open("/proc/meminfo") as fh:
            mem_gib = round(int(fh.readline().split()[1]) / 2**20)
    except (OSError, ValueError, IndexError):
        pass
    thp = None
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as fh:
            thp = fh.read().strip()
    except OSError:
        pass
    return {
        "cpu": " ".join(model.split()),
        "cores": os.cpu_count(),
        "memory_gib": mem_gib,
        "kernel": platform.release(),
        "python": platform.python_version(),
        "transparent_hugepage": thp,
    }


def dist_version(name: str) -> str | None:
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


def debian_version(package: str) -> str | None:
    try:
        return subprocess.run(
            ["dpkg-query", "-W", "-f=${Version}", package],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


def kelvarin_revision() -> str:
    try:
        rev = subprocess.run(
            ["git", "-C", REPO, "rev-parse", "--short", "HEAD"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        dirty = subprocess.run(
            ["git", "-C", REPO, "status", "--porcelain", "--untracked-files=no", "--", "src"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        return rev + ("-dirty" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def probe_peer(module: str) -> tuple[bool, str]:
    """Imports the module in a child, as a worker would: (usable, version or reason)."""
    code = f"import {module} as m; print(getattr(m, '__version__', '?'))"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if proc.returncode == 0:
        return True, proc.stdout.strip().splitlines()[-1]
    lines = [line for line in proc.stderr.strip().splitlines() if line.strip()]
    return False, lines[-1] if lines else f"exit code {proc.returncode}"
