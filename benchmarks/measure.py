"""Load-time measurements of kelvarin against raw-read baselines and peer PCD
readers: each loader in a fresh process of its own, raw figures to JSON.

    python benchmarks/measure.py            # full run: 1M and 10M points
    python benchmarks/measure.py --quick    # 100k and 1M points, fewer runs

benchmarks/run.sh sets up a venv with everything this needs, runs it, then
targets.py (PASS/FAIL of the ratios this project promises) and chart.py.

Clouds are generated under the output directory (kept between runs), each
loader is timed in a fresh process of its own (worker.py) after the file has
been read once into the page cache, and the median of its timed runs is
reported. The raw figures go to <out>/results.json, the tables to stdout and
<out>/results.md.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcdgen  # noqa: E402
from common import (  # noqa: E402
    BASELINES,
    HERE,
    KIND_SHORT,
    LOADERS,
    PEER_MODULE,
    PEERS,
    REPO,
    debian_version,
    dist_version,
    kelvarin_revision,
    machine_info,
    parse_size,
    probe_peer,
    size_label,
)
from tables import markdown_table, print_tables  # noqa: E402

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
            # the printf styles at the smallest size only and without the peers, which
            # take 17-37x kelvarin's time on ascii: a minute of a full run, not ten
            styled = cloud in pcdgen.PRINTF_STYLES
            if styled and points != min(args.sizes):
                continue
            for kind in args.kinds:
                if kind not in pcdgen.CLOUD_KINDS[cloud]:
                    continue
                loaders = ["kelvarin"] + BASELINES[kind] + ([] if styled else PEERS)
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
        "liblzf": debian_version("liblzf1"),
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


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument(
        "--quick",
        action="store_true",
        help="100k and 1M points, 3+ runs: a quick try, not for the figures",
    )
    ap.add_argument("--sizes", help="comma-separated point counts (default 1M,10M; quick 100k,1M)")
    ap.add_argument(
        "--clouds",
        default=",".join(pcdgen.CLOUDS),
        help=f"comma-separated: {','.join(pcdgen.CLOUDS)} (each in its own kinds)",
    )
    ap.add_argument("--kinds", default=",".join(pcdgen.KINDS), help="comma-separated data kinds")
    ap.add_argument("--loaders", default=None, help="comma-separated loaders (default: all)")
    ap.add_argument(
        "--loadtxt-max-points",
        type=parse_size,
        default=None,
        help="time numpy.loadtxt only up to this many points and extrapolate above"
        " (default: the largest size, i.e. no extrapolation)",
    )
    ap.add_argument(
        "--out",
        default=os.environ.get("KELVARIN_BENCH_OUT"),
        help="generated data and results (default: bench/ under the checkout's work dir)",
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
    args = ap.parse_args()
    if args.out is None:
        work = subprocess.run(
            ["bash", os.path.join(REPO, "scripts", "work-dir.sh")],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        args.out = os.path.join(work, "bench")
    # only a full run with the default options stands for the project (the chart it shows)
    default_run = not args.quick and all(
        getattr(args, a) is None
        for a in ("sizes", "loaders", "loadtxt_max_points", "cores", "name")
    )
    default_run = (
        default_run
        and args.clouds == ",".join(pcdgen.CLOUDS)
        and args.kinds == ",".join(pcdgen.KINDS)
    )
    stem = args.name or ("results-quick" if args.quick else "results")

    args.sizes = [
        parse_size(s) for s in (args.sizes or ("100k,1M" if args.quick else "1M,10M")).split(",")
    ]
    args.clouds = args.clouds.split(",")
    args.kinds = args.kinds.split(",")
    for cloud in args.clouds:
        if cloud not in pcdgen.CLOUDS:
            ap.error(f"unknown cloud {cloud}; known: {', '.join(pcdgen.CLOUDS)}")
    args.loaders = args.loaders.split(",") if args.loaders else LOADERS
    for name in args.loaders:
        if name not in LOADERS:
            ap.error(f"unknown loader {name}; known: {', '.join(LOADERS)}")
    if args.loadtxt_max_points is None:
        args.loadtxt_max_points = max(args.sizes)
    free = shutil.disk_usage(os.path.dirname(os.path.abspath(args.out)) or ".").free
    styled = sum(cloud in pcdgen.PRINTF_STYLES for cloud in args.clouds)
    approx = 150 * (sum(args.sizes) * (len(args.clouds) - styled) + min(args.sizes) * styled)
    if free < approx:
        print(
            f"warning: {free / 1e9:.1f} GB free; the clouds need about {approx / 1e9:.1f} GB",
            file=sys.stderr,
        )

    data = run_all(args, machine_info())
    data["default_run"] = default_run
    raw = os.path.join(args.out, stem + ".json")
    with open(raw, "w") as fh:
        json.dump(data, fh, indent=1)
    with open(os.path.join(args.out, stem + ".md"), "w") as fh:
        fh.write(markdown_table(data) + "\n")
    # run.sh reports and charts the run it just made
    with open(os.path.join(args.out, "latest"), "w") as fh:
        fh.write(raw + "\n")
    print_tables(data)
    print(f"Raw figures: {os.path.relpath(raw)}")
    print(f"Total time: {data['elapsed_s'] / 60:.1f} min")
    return 0


if __name__ == "__main__":
    sys.exit(main())
