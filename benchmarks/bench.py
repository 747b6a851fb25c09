"""Load-time benchmark of kelvarin against raw-read baselines and peer PCD readers.

    python benchmarks/bench.py            # full run: 1M and 10M points
    python benchmarks/bench.py --quick    # 100k and 1M points, fewer runs

benchmarks/run.sh sets up a venv with everything this needs and runs it.

Clouds are generated under benchmarks/out/ (kept between runs), each loader is
timed in a fresh process of its own (worker.py) after the file has been read
once into the page cache, and the median of its timed runs is reported. The
table, the PASS/FAIL lines of the targets and a PNG chart follow; the raw
figures go to benchmarks/out/results.json.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import pcdgen  # noqa: E402

BASELINES = {
    "binary": ["numpy.fromfile"],
    "binary_compressed": ["python-lzf+frombuffer"],
    "ascii": ["numpy.loadtxt", "pandas.read_csv"],
}
PEERS = ["pypcd4", "open3d", "open3d.t"]
PEER_MODULE = {"pypcd4": "pypcd4", "open3d": "open3d", "open3d.t": "open3d"}
PEER_DIST = {"pypcd4": "pypcd4", "open3d": "open3d", "open3d.t": "open3d"}
CALLS = {
    "kelvarin": "kelvarin.load_pcd(path)",
    "numpy.fromfile": "numpy.fromfile(path, dtype=<record dtype>, offset=<data offset>)",
    "python-lzf+frombuffer": "read the block, lzf.decompress, numpy.frombuffer per field"
    " (no regrouping)",
    "numpy.loadtxt": "numpy.loadtxt(path, dtype=<record dtype>, skiprows=<header lines>)",
    "pandas.read_csv": "pandas.read_csv(path, sep=' ', header=None, skiprows=<header lines>,"
    " engine='c', dtype=<per column>)",
    "pypcd4": "pypcd4.PointCloud.from_path(path).pc_data",
    "open3d": "open3d.io.read_point_cloud(path), numpy.asarray(points / colors)",
    "open3d.t": "open3d.t.io.read_point_cloud(path), .numpy() of every attribute",
}
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


# ---------------------------------------------------------------- progress


class Progress:
    def __init__(self, total: int):
        self.total, self.done, self.start = total, 0, time.time()
        self.tty = sys.stderr.isatty()

    def elapsed(self) -> str:
        s = int(time.time() - self.start)
        return f"{s // 60}m{s % 60:02d}s"

    def status(self, text: str, always: bool = False) -> None:
        """A line that the next one replaces (on a terminal; elsewhere printed if `always`)."""
        line = f"[{self.done:3d}/{self.total}] {self.elapsed()}  {text}"
        if self.tty:
            sys.stderr.write("\x1b[2K\r" + line[:150])
        elif always:
            sys.stderr.write(line + "\n")
        sys.stderr.flush()

    def finish(self, text: str) -> None:
        self.done += 1
        line = f"[{self.done:3d}/{self.total}] {self.elapsed()}  {text}"
        sys.stderr.write(("\x1b[2K\r" if self.tty else "") + line + "\n")
        sys.stderr.flush()


def warm(path: str) -> None:
    with open(path, "rb") as fh:
        while fh.read(1 << 24):
            pass


# ---------------------------------------------------------------- running


def run_policy(loader: str, quick: bool) -> dict:
    """How many timed runs a loader gets (always after one untimed first call)."""
    base = {
        "min_runs": 3 if quick else 5,
        "max_runs": 30,
        "budget_s": 0.5 if quick else 1.5,
        "slow_s": float("inf"),
        "slow_runs": 0,
    }
    if loader == "numpy.loadtxt":
        # numpy.loadtxt is the slowest reader by far: 3 runs at most
        base.update(min_runs=3, max_runs=3)
    elif loader in PEERS:
        # a peer whose first call takes 2 s or more gets 3 timed runs
        base.update(slow_s=2.0, slow_runs=3)
    return base


def run_worker(job: dict) -> dict:
    # numpy's OpenBLAS threads do no work here; on 2 cores they only add noise
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "worker.py"), json.dumps(job)],
        stdout=subprocess.PIPE,
        stderr=None if job.get("progress") else subprocess.PIPE,
        text=True,
        env=env,
    )
    if proc.returncode != 0:
        err = (proc.stderr or "").strip().splitlines()
        reason = err[-1] if err else f"exit code {proc.returncode}"
        return {"error": reason[:300]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_all(args, machine: dict) -> dict:
    os.makedirs(args.out, exist_ok=True)
    available = {"kelvarin": True}
    peer_status = {}
    for peer in PEERS:
        if peer not in args.loaders:
            continue
        ok, info = probe_peer(PEER_MODULE[peer])
        available[peer] = ok
        peer_status[peer] = info if ok else f"not available: {info}"
    try:
        import lzf  # noqa: F401

        lzf_ok = True
    except ImportError:
        lzf_ok = False

    plan = []
    for points in args.sizes:
        for cloud in args.clouds:
            for kind in args.kinds:
                loaders = ["kelvarin"] + BASELINES[kind] + PEERS
                for loader in loaders:
                    if loader not in args.loaders:
                        continue
                    plan.append((points, cloud, kind, loader))

    progress = Progress(len(plan))
    results = []
    kel_times = {}
    for points, cloud, kind, loader in plan:
        label = f"{cloud} {size_label(points)} {KIND_SHORT[kind]:10s} {loader}"
        fields = pcdgen.CLOUDS[cloud]
        record = pcdgen.record_dtype(fields).itemsize
        path = pcdgen.cloud_path(args.out, cloud, points, kind)
        reference = pcdgen.cloud_path(args.out, cloud, points, "binary")
        for p, k in ((reference, "binary"), (path, kind)):
            if not pcdgen.is_current(p):
                progress.status(f"writing {os.path.basename(p)}", always=True)
                pcdgen.ensure_cloud(args.out, cloud, points, k)
        offset, header_lines = pcdgen.data_offset(path)
        file_bytes = os.path.getsize(path)
        block_bytes = file_bytes - offset if kind == "binary_compressed" else None
        row = {
            "cloud": cloud,
            "points": points,
            "kind": kind,
            "loader": loader,
            "file_bytes": file_bytes,
            "data_bytes": file_bytes - offset,
            "buffer_bytes": points * record,
            "record_bytes": record,
            "block_bytes": block_bytes,
        }
        skip = None
        if loader in PEERS and not available.get(loader):
            skip = peer_status[loader]
        elif loader == "python-lzf+frombuffer" and not lzf_ok:
            skip = "not available: python-lzf is not installed"
        elif loader == "numpy.loadtxt" and points > args.loadtxt_max_points:
            skip = "extrapolated"
        if skip:
            row["skipped"] = skip
            results.append(row)
            progress.finish(f"{label}: {skip}")
            continue
        warm(path)
        warm(reference)
        job = {
            "loader": loader,
            "path": path,
            "reference": reference,
            "cloud": cloud,
            "kind": kind,
            "points": points,
            "data_offset": offset,
            "header_lines": header_lines,
            "check": True,
            "label": label,
            "progress": progress.tty,
            "cpus": args.cores,
        }
        job.update(run_policy(loader, args.quick))
        progress.status(f"{label}: running")
        res = run_worker(job)
        if progress.tty:
            sys.stderr.write("\x1b[2K\r")
        row.update(res)
        if "times" in res and res["times"]:
            row["median_s"] = statistics.median(res["times"])
            row["cpu_s"] = statistics.median(res.get("cpu_times") or [float("nan")])
            row["runs"] = len(res["times"])
            if loader == "kelvarin":
                kel_times[(cloud, points, kind)] = row["median_s"]
            kel = kel_times.get((cloud, points, kind))
            ratio = f"  x{row['median_s'] / kel:.2f} of kelvarin" if kel else ""
            bad = row.get("check", {}).get("problems")
            progress.finish(
                f"{label}: {row['median_s']:.4f} s (median of {row['runs']}){ratio}"
                + ("  MISMATCH" if bad else "")
            )
        else:
            progress.finish(f"{label}: FAILED: {res.get('error')}")
        results.append(row)

    extrapolate_loadtxt(results)
    versions = {
        "kelvarin": f"{dist_version('kelvarin')} ({kelvarin_revision()})",
        "numpy": dist_version("numpy"),
        "pandas": dist_version("pandas"),
        "python-lzf": dist_version("python-lzf"),
        "pypcd4": dist_version("pypcd4") if available.get("pypcd4") else None,
        "open3d": dist_version("open3d")
        if (available.get("open3d") or available.get("open3d.t"))
        else None,
    }
    return {
        "date": datetime.datetime.now().replace(microsecond=0).isoformat(),
        "quick": args.quick,
        "cores": args.cores,
        "machine": machine,
        "versions": versions,
        "peer_status": peer_status,
        "loadtxt_max_points": args.loadtxt_max_points,
        "elapsed_s": time.time() - progress.start,
        "results": results,
    }


def extrapolate_loadtxt(results: list) -> None:
    """numpy.loadtxt above --loadtxt-max-points: scaled linearly from the largest size timed."""
    timed = {}
    for r in results:
        if r["loader"] == "numpy.loadtxt" and "median_s" in r:
            key = r["cloud"]
            if key not in timed or r["points"] > timed[key]["points"]:
                timed[key] = r
    for r in results:
        if r["loader"] == "numpy.loadtxt" and r.get("skipped") == "extrapolated":
            src = timed.get(r["cloud"])
            if src is None:
                r["skipped"] = "not timed (no smaller size to extrapolate from)"
                continue
            r["median_s"] = src["median_s"] * r["points"] / src["points"]
            r["extrapolated_from"] = src["points"]
            r["runs"] = 0


# ---------------------------------------------------------------- reporting


def find(results, cloud, points, kind, loader):
    for r in results:
        if (r["cloud"], r["points"], r["kind"], r["loader"]) == (cloud, points, kind, loader):
            return r
    return None


def fmt_mb(n: float) -> str:
    return f"{n / 1e6:.0f}" if n >= 1e7 else f"{n / 1e6:.1f}"


def table(data: dict) -> str:
    res = data["results"]
    head = [
        "cloud",
        "points",
        "kind",
        "loader",
        "runs",
        "median s",
        "MB/s",
        "Mpts/s",
        "x kelvarin",
        "CPU/wall",
        "1st call s",
        "peak MB",
        "x buffer",
        "check",
    ]
    rows = []
    for r in res:
        kel = find(res, r["cloud"], r["points"], r["kind"], "kelvarin")
        base = [r["cloud"], size_label(r["points"]), KIND_SHORT[r["kind"]], r["loader"]]
        if "median_s" not in r:
            why = r.get("skipped") or "FAILED: " + str(r.get("error"))
            rows.append(base + ["-"] * 9 + [why])
            continue
        t = r["median_s"]
        extra = "extrapolated" in r.get("skipped", "")
        runs = f"~{size_label(r['extrapolated_from'])}" if extra else str(r["runs"])
        ratio = f"{t / kel['median_s']:.2f}" if kel and "median_s" in kel else "-"
        if "peak_extra_bytes" in r:
            peak = fmt_mb(r["peak_extra_bytes"])
            xbuf = f"{r['peak_extra_bytes'] / r['buffer_bytes']:.2f}"
        else:
            peak = xbuf = "-"
        chk = r.get("check")
        if extra:
            check = "extrapolated (not run)"
        elif not chk:
            check = "-"
        elif chk["problems"]:
            check = f"MISMATCH ({len(chk['problems'])})"
        else:
            check = "ok" + (
                f" ({len(chk['compared'])} of {len(chk['compared']) + len(chk['not_returned'])}"
                " fields)"
                if chk["not_returned"]
                else ""
            )
        first = f"{r['first_s']:.4f}" if "first_s" in r else "-"
        rows.append(
            base
            + [
                runs,
                f"{t:.4f}",
                f"{r['file_bytes'] / t / 1e6:.0f}",
                f"{r['points'] / t / 1e6:.2f}",
                ratio,
                f"{r['cpu_s'] / t:.2f}" if "cpu_s" in r else "-",
                first,
                peak,
                xbuf,
                check,
            ]
        )
    widths = [max(len(str(x)) for x in col) for col in zip(head, *rows)]
    right = {4, 5, 6, 7, 8, 9, 10, 11, 12}

    def line(cells):
        return "  ".join(
            str(c).rjust(w) if i in right else str(c).ljust(w)
            for i, (c, w) in enumerate(zip(cells, widths))
        ).rstrip()

    out = [line(head), line(["-" * w for w in widths])]
    prev = None
    for row in rows:
        key = tuple(row[:3])
        if prev is not None and key != prev:
            out.append("")
        prev = key
        out.append(line(row))
    return "\n".join(out)


def files_table(data: dict) -> str:
    lines = ["Files (generated; one point in 997 has NaN coordinates):"]
    seen = set()
    for r in data["results"]:
        key = (r["cloud"], r["points"], r["kind"])
        if key in seen:
            continue
        seen.add(key)
        text = (
            f"  {r['cloud']:5s} {size_label(r['points']):>5s} {r['kind']:18s}"
            f" {r['file_bytes'] / 1e6:8.1f} MB, buffer {r['buffer_bytes'] / 1e6:7.1f} MB"
            f" ({r['record_bytes']} B a point)"
        )
        if r.get("block_bytes"):
            text += f", LZF block {r['block_bytes'] / r['buffer_bytes']:.0%} of the records"
        lines.append(text)
    return "\n".join(lines)


def markdown_table(data: dict) -> str:
    """Kelvarin's time, and every other loader's time as a multiple of it."""
    res = data["results"]
    head = [
        "cloud",
        "points",
        "kind",
        "file MB",
        "kelvarin s",
        "MB/s",
        "peak / buffer",
        "baseline",
        "pandas",
        "pypcd4",
        "open3d",
        "open3d.t",
    ]
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join(["---"] * 3 + ["--:"] * 9) + "|"]
    keys = sorted(
        {(r["cloud"], r["points"], r["kind"]) for r in res},
        key=lambda k: (list(pcdgen.CLOUDS).index(k[0]), k[1], pcdgen.KINDS.index(k[2])),
    )

    def cell(key, name, t):
        o = find(res, *key, name)
        if o is None:
            return ""
        if "median_s" not in o:
            return "n/a"
        mark = "~" if "extrapolated_from" in o else ""
        bad = "*" if o.get("check", {}).get("problems") else ""
        return f"{mark}{o['median_s'] / t:.2f}x{bad}"

    for key in keys:
        kel = find(res, *key, "kelvarin")
        if not kel or "median_s" not in kel:
            continue
        t = kel["median_s"]
        base = BASELINES[key[2]][0]
        cells = [
            key[0],
            size_label(key[1]),
            key[2],
            fmt_mb(kel["file_bytes"]),
            f"{t:.3f}",
            f"{kel['file_bytes'] / t / 1e6:.0f}",
            f"{kel['peak_extra_bytes'] / kel['buffer_bytes']:.2f}",
            f"{cell(key, base, t)} {base}",
            cell(key, "pandas.read_csv", t),
        ]
        cells += [cell(key, peer, t) for peer in PEERS]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def targets(data: dict) -> list[tuple[str, bool, str]]:
    """(name, passed, figures) for every target that this run's figures allow."""
    res = data["results"]
    out = []
    sizes = sorted({r["points"] for r in res})
    clouds = list(dict.fromkeys(r["cloud"] for r in res))

    def t(cloud, points, kind, loader):
        r = find(res, cloud, points, kind, loader)
        return r.get("median_s") if r else None

    for cloud in clouds:
        for n in sizes:
            sl = f"{cloud} {size_label(n)}"
            for kind, baseline, limit, what in (
                ("binary", "numpy.fromfile", 1.15, "numpy.fromfile"),
                ("binary_compressed", "python-lzf+frombuffer", 1.5, "bare LZF decompression"),
            ):
                k, b = t(cloud, n, kind, "kelvarin"), t(cloud, n, kind, baseline)
                if k and b:
                    out.append(
                        (
                            f"{KIND_SHORT[kind]} {sl}: kelvarin <= {limit:g} x {what}",
                            k <= limit * b,
                            f"{k:.4f} s vs {b:.4f} s = {k / b:.2f}x",
                        )
                    )
            k = t(cloud, n, "ascii", "kelvarin")
            if k:
                r = find(res, cloud, n, "ascii", "kelvarin")
                mbs = r["data_bytes"] / k / 1e6
                out.append(
                    (
                        f"ascii {sl}: kelvarin >= 300 MB/s of text",
                        mbs >= 300,
                        f"{r['data_bytes'] / 1e6:.0f} MB in {k:.3f} s = {mbs:.0f} MB/s",
                    )
                )
                for loader, need in (("numpy.loadtxt", 4.0), ("pandas.read_csv", 2.0)):
                    o = find(res, cloud, n, "ascii", loader)
                    if o and o.get("median_s"):
                        note = ""
                        if "extrapolated_from" in o:
                            base = size_label(o["extrapolated_from"])
                            note = f" (numpy.loadtxt extrapolated from {base})"
                        out.append(
                            (
                                f"ascii {sl}: kelvarin >= {need:g}x faster than {loader}",
                                o["median_s"] >= need * k,
                                f"{o['median_s']:.3f} s vs {k:.3f} s = {o['median_s'] / k:.2f}x"
                                + note,
                            )
                        )
            for kind, need in (("binary", 1.0), ("binary_compressed", 3.0), ("ascii", 3.0)):
                k = t(cloud, n, kind, "kelvarin")
                for peer in PEERS:
                    o = find(res, cloud, n, kind, peer)
                    if not k or o is None:
                        continue
                    name = f"{KIND_SHORT[kind]} {sl}: {peer} " + (
                        "not faster than kelvarin"
                        if need == 1.0
                        else f"at least {need:g}x slower than kelvarin"
                    )
                    if "median_s" not in o:
                        out.append((name, None, o.get("skipped") or f"failed: {o.get('error')}"))
                        continue
                    out.append(
                        (
                            name,
                            o["median_s"] >= need * k,
                            f"{o['median_s']:.4f} s vs {k:.4f} s = {o['median_s'] / k:.2f}x",
                        )
                    )
            for kind in pcdgen.KINDS:
                r = find(res, cloud, n, kind, "kelvarin")
                if not r or "peak_extra_bytes" not in r:
                    continue
                peak, buf = r["peak_extra_bytes"], r["buffer_bytes"]
                if kind == "binary":
                    limit, what = 1.05 * buf, "1.05 x buffer"
                elif kind == "ascii":
                    limit, what = 1.05 * (r["data_bytes"] + buf), "1.05 x (text + buffer)"
                else:
                    limit, what = 1.05 * (r["block_bytes"] + 2 * buf), "1.05 x (block + 2 x buffer)"
                out.append(
                    (
                        f"memory {KIND_SHORT[kind]} {sl}: kelvarin peak extra <= {what}",
                        peak <= limit,
                        f"{peak / 1e6:.1f} MB (buffer {buf / 1e6:.1f} MB, limit"
                        f" {limit / 1e6:.1f} MB) = {peak / buf:.2f}x buffer",
                    )
                )
    if len(sizes) >= 2:
        small, large = sizes[0], sizes[-1]
        factor = large / small
        for cloud in clouds:
            for kind in pcdgen.KINDS:
                a, b = t(cloud, small, kind, "kelvarin"), t(cloud, large, kind, "kelvarin")
                if a and b:
                    lo, hi = 0.8 * factor, 1.2 * factor
                    out.append(
                        (
                            f"scaling {KIND_SHORT[kind]} {cloud}: {size_label(large)} costs"
                            f" {lo:g}-{hi:g}x the time of {size_label(small)}",
                            lo <= b / a <= hi,
                            f"{b:.4f} s / {a:.4f} s = {b / a:.2f}x",
                        )
                    )
    return out


def checks(data: dict) -> list[str]:
    lines, partial = [], {}
    for r in data["results"]:
        chk = r.get("check")
        label = f"{r['cloud']} {size_label(r['points'])} {KIND_SHORT[r['kind']]} {r['loader']}"
        if chk and chk["problems"]:
            for p in chk["problems"]:
                lines.append(f"MISMATCH  {label}: {p}")
        if chk and chk["not_returned"]:
            key = (r["loader"], r["cloud"], ", ".join(chk["not_returned"]))
            partial.setdefault(key, []).append(f"{size_label(r['points'])} {KIND_SHORT[r['kind']]}")
        if "error" in r:
            lines.append(f"FAILED    {label}: {r['error']}")
    for (loader, cloud, missing), where in partial.items():
        lines.append(
            f"partial   {loader} does not return {missing} of the {cloud} cloud"
            f" ({len(where)} files; the fields it returns match)"
        )
    return lines


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


def chart(data: dict, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    res = data["results"]
    order = [
        "kelvarin",
        "numpy.fromfile",
        "python-lzf+frombuffer",
        "numpy.loadtxt",
        "pandas.read_csv",
        "pypcd4",
        "open3d",
        "open3d.t",
    ]
    colors = {
        "kelvarin": "#d62728",
        "numpy.fromfile": "#7f7f7f",
        "python-lzf+frombuffer": "#8c564b",
        "numpy.loadtxt": "#bcbd22",
        "pandas.read_csv": "#17becf",
        "pypcd4": "#1f77b4",
        "open3d": "#2ca02c",
        "open3d.t": "#9467bd",
    }
    clouds = list(dict.fromkeys(r["cloud"] for r in res))
    sizes = sorted({r["points"] for r in res})
    groups = [
        (c, n)
        for c in clouds
        for n in sizes
        if any(r["cloud"] == c and r["points"] == n for r in res)
    ]
    fig, axes = plt.subplots(1, 3, figsize=(15, 5.4), sharey=True)
    used = []
    for ax, kind in zip(axes, pcdgen.KINDS):
        loaders = [
            name for name in order if any(r["loader"] == name and r["kind"] == kind for r in res)
        ]
        width = 0.8 / max(1, len(loaders))
        for gi, (cloud, n) in enumerate(groups):
            for li, name in enumerate(loaders):
                r = find(res, cloud, n, kind, name)
                x = gi + (li - (len(loaders) - 1) / 2) * width
                if not r or "median_s" not in r:
                    ax.text(x, 0.06, "n/a", rotation=90, ha="center", va="bottom", fontsize=6)
                    continue
                mpts = r["points"] / r["median_s"] / 1e6
                extra = "extrapolated_from" in r
                ax.bar(
                    x,
                    mpts,
                    width,
                    color=colors[name],
                    hatch="//" if extra else None,
                    edgecolor="white" if extra else None,
                    linewidth=0,
                )
                if r.get("check", {}).get("problems"):
                    ax.text(x, mpts * 1.05, "*", ha="center", va="bottom", fontsize=10)
                if name not in used:
                    used.append(name)
        ax.set_xticks(range(len(groups)))
        ax.set_xticklabels([f"{c}\n{size_label(n)} pts" for c, n in groups], fontsize=9)
        ax.set_title(kind, fontsize=11)
        ax.set_yscale("log")
        ax.grid(axis="y", which="both", alpha=0.3)
    axes[0].set_ylim(bottom=0.05)
    axes[0].set_ylabel("million points per second (higher is better, log scale)")
    handles = [Patch(color=colors[n], label=n) for n in order if n in used]
    if any("extrapolated_from" in r for r in res):
        handles.append(
            Patch(
                facecolor="#bcbd22",
                hatch="//",
                edgecolor="white",
                label="numpy.loadtxt, extrapolated",
            )
        )
    if any(r.get("check", {}).get("problems") for r in res):
        handles.append(Patch(color="white", label="* result differs from kelvarin's"))
    fig.legend(handles=handles, loc="upper center", ncol=len(handles), fontsize=9, frameon=False)
    fig.text(
        0.5,
        0.012,
        "PCD load speed, page cache warm: median of >= 5 runs (a peer taking"
        " >= 2 s: 3 runs; numpy.loadtxt: 3 runs), each loader in a fresh process.\n"
        + caption(data),
        ha="center",
        fontsize=8.5,
    )
    fig.tight_layout(rect=(0, 0.07, 1, 0.93))
    fig.savefig(path, dpi=80)
    plt.close(fig)


def report(data: dict, chart_path: str | None) -> int:
    m = data["machine"]
    print()
    print(
        f"Machine: {m['cpu']}, {m['cores']} cores (nproc), {m['memory_gib']} GiB,"
        f" Linux {m['kernel']}, transparent hugepages: {m['transparent_hugepage']}"
    )
    print("Versions: " + ", ".join(f"{k} {v}" for k, v in data["versions"].items() if v))
    for peer, status in data["peer_status"].items():
        print(f"Peer {peer}: {status}")
    print()
    print("Loaders:")
    for name in dict.fromkeys(r["loader"] for r in data["results"]):
        print(f"  {name:22s} {CALLS[name]}")
    print()
    runs_note = (
        "each loader in a fresh process, page cache warm; median of the timed runs after"
        " one untimed first call (at least 5 runs; a peer whose first call took 2 s or"
        " more: 3 runs; numpy.loadtxt: 3 runs"
    )
    if any("extrapolated_from" in r for r in data["results"]):
        runs_note += (
            f", timed only up to {size_label(data['loadtxt_max_points'])} points and"
            " extrapolated linearly above, marked ~"
        )
    print(runs_note + ").")
    print("MB/s: file bytes per second. x kelvarin: time over kelvarin's time (above 1: slower).")
    print(
        "CPU/wall: CPU time of all the process's threads over wall time (above 1: more than one"
        " core at work)."
    )
    print(
        "1st call s: the untimed first call in the fresh process (allocator and page tables cold)."
    )
    print(
        "peak MB: RSS high-water mark during the first call minus RSS before it;"
        " x buffer: that over points x record size."
    )
    if data.get("cores"):
        print(f"Every loader was held to {data['cores']} CPU(s) (--cores).")
    if data.get("quick"):
        print("QUICK RUN: fewer sizes and runs; the figures are indicative only.")
    print()
    print(files_table(data))
    print()
    print(table(data))
    print()
    lines = checks(data)
    print("Result checks against kelvarin (NaN-aware, same cloud):")
    for line in lines or ["every loader returned the same numbers as kelvarin"]:
        print("  " + line)
    print()
    print("Targets:")
    failed = 0
    for name, ok, figures in targets(data):
        word = "PASS" if ok else ("n/a " if ok is None else "FAIL")
        failed += ok is False
        print(f"  {word}  {name}: {figures}")
    print()
    print(f"{failed} target(s) missed." if failed else "All targets met.")
    if chart_path:
        chart(data, chart_path)
        print(f"Chart: {os.path.relpath(chart_path)}")
    print(f"Total time: {data['elapsed_s'] / 60:.1f} min")
    return failed


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument(
        "--quick",
        action="store_true",
        help="100k and 1M points, 3+ runs: a quick try, not for the figures",
    )
    ap.add_argument("--sizes", help="comma-separated point counts (default 1M,10M; quick 100k,1M)")
    ap.add_argument("--clouds", default="xyzi,wide", help="comma-separated: xyzi,wide")
    ap.add_argument("--kinds", default=",".join(pcdgen.KINDS), help="comma-separated data kinds")
    ap.add_argument("--loaders", default=None, help="comma-separated loaders (default: all)")
    ap.add_argument(
        "--loadtxt-max-points",
        type=parse_size,
        default=None,
        help="time numpy.loadtxt only up to this many points and extrapolate above"
        " (default: the largest size, i.e. no extrapolation)",
    )
    ap.add_argument("--out", default=os.path.join(HERE, "out"), help="generated data and results")
    ap.add_argument(
        "--chart",
        default=None,
        help="PNG to write (default: benchmarks/results.png for a full run with default"
        " options, else <out>/<name>.png)",
    )
    ap.add_argument(
        "--cores",
        type=int,
        default=None,
        help="run every loader on this many CPUs only (default: all), e.g. 1 to compare per core",
    )
    ap.add_argument(
        "--name",
        default=None,
        help="stem of the result files in --out (default: results, quick: results-quick)",
    )
    ap.add_argument("--from-json", help="report again from a results.json without running")
    args = ap.parse_args()
    # only a full default run replaces the chart that the README shows
    default_run = not args.quick and all(
        getattr(args, a) is None
        for a in ("sizes", "loaders", "loadtxt_max_points", "cores", "name")
    )
    default_run = (
        default_run and args.clouds == "xyzi,wide" and args.kinds == ",".join(pcdgen.KINDS)
    )
    stem = args.name or ("results-quick" if args.quick else "results")

    if args.from_json:
        with open(args.from_json) as fh:
            data = json.load(fh)
        report(data, args.chart)
        return 0

    args.sizes = [
        parse_size(s) for s in (args.sizes or ("100k,1M" if args.quick else "1M,10M")).split(",")
    ]
    args.clouds = args.clouds.split(",")
    args.kinds = args.kinds.split(",")
    all_loaders = ["kelvarin"] + [b for k in pcdgen.KINDS for b in BASELINES[k]] + PEERS
    args.loaders = args.loaders.split(",") if args.loaders else all_loaders
    for name in args.loaders:
        if name not in all_loaders:
            ap.error(f"unknown loader {name}; known: {', '.join(all_loaders)}")
    if args.loadtxt_max_points is None:
        args.loadtxt_max_points = max(args.sizes)
    if args.chart is None:
        args.chart = (
            os.path.join(HERE, "results.png")
            if default_run
            else os.path.join(args.out, stem + ".png")
        )
    free = shutil.disk_usage(os.path.dirname(os.path.abspath(args.out)) or ".").free
    approx = sum(n * 150 for n in args.sizes) * len(args.clouds)
    if free < approx:
        print(
            f"warning: {free / 1e9:.1f} GB free; the clouds need about {approx / 1e9:.1f} GB",
            file=sys.stderr,
        )

    data = run_all(args, machine_info())
    raw = os.path.join(args.out, stem + ".json")
    with open(raw, "w") as fh:
        json.dump(data, fh, indent=1)
    with open(os.path.join(args.out, stem + ".md"), "w") as fh:
        fh.write(markdown_table(data) + "\n")
    report(data, args.chart)
    print(f"Raw figures: {os.path.relpath(raw)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
