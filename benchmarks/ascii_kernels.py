"""ASCII decoding throughput of several builds of the reader, side by side.

Writes the test clouds once (1M points each): the benchmark clouds `xyzi`,
`wide` and `xyzi8g` of pcdgen.py, the x y z intensity F4 clouds of
pcdgen.PRINTF_STYLES (`%.3f`, `%.8g`, `%.9g`, `%.8e`, `%.18e`, `%f`, `%d` of
uniform values, `%.8g` of small values, which come out with exponents), and
`%.8g` of normal values and of lidar-like ranges with integer intensities (as
PCL's writer prints them). Then times each build on every cloud in interleaved
rounds and prints the median over rounds of each round's fastest load, in MB/s
of file; with --pandas, pandas' C parser reading the same text as float32
columns too.

    python benchmarks/ascii_kernels.py [--out DIR] [--rounds 7] [--pandas] [--python] NAME=BUILD ...

BUILD is a CMake build dir, or the `ascii_decode` harness in one. By default
the harness is run (decode only, no Python). With --python, each load is
`kelvarin.load_pcd` in a fresh Python process per build, cloud and round that
imports kelvarin from the build dir only. Needs NumPy (and pandas for
--pandas). Configure the builds with -DKELVARIN_BENCH_HARNESS=ON (and
-DKELVARIN_KERNEL=... for one kernel).
"""

import argparse
import os
import statistics
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcdgen  # noqa: E402

POINTS = 1_000_000


def write_clouds(out):
    clouds = {}
    for name in ("xyzi", "wide"):
        clouds[name] = lambda name=name: (
            pcdgen.header_text(pcdgen.CLOUDS[name], POINTS, "ascii")
            + pcdgen.ascii_chunk(pcdgen.CLOUDS[name], 0, POINTS)
        )
    clouds["xyzi8g"] = lambda: (
        pcdgen.header_text(pcdgen.CLOUDS["xyzi8g"], POINTS, "ascii")
        + pcdgen.ascii_chunk_8g(pcdgen.CLOUDS["xyzi8g"], 0, POINTS)
    )
    styles = {
        "fixed3": ("%.3f", "normal"),
        "g8-normal": ("%.8g", "normal"),
        "g8-lidar": ("%.8g", "lidar"),
    }
    styles.update(pcdgen.PRINTF_STYLES)
    for style, (fmt, values) in styles.items():
        clouds[style] = lambda fmt=fmt, values=values: (
            pcdgen.header_text(pcdgen.XYZI, POINTS, "ascii")
            + pcdgen.styled_text(fmt, values, POINTS)
        )
    paths = {}
    for name, make in clouds.items():
        path = os.path.join(out, f"ascii-{name}.pcd")
        if not os.path.exists(path):
            with open(path + ".tmp", "wb") as f:
                f.write(make())
            os.replace(path + ".tmp", path)
        paths[name] = path
    return paths


# Run as `python -I -c MODULE_TIMER BUILD_DIR LOADS FILE`; prints "FILE best_MB/s" as the
# harness does. The result stays alive until timed, as the harness's does.
MODULE_TIMER = """
import os, sys, time
build, loads, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
sys.path.insert(0, build)
import kelvarin
if os.path.dirname(os.path.realpath(kelvarin.__file__)) != build:
    sys.exit(f"kelvarin imported from {kelvarin.__file__}, not from {build}")
best = float("inf")
for _ in range(loads):
    start = time.perf_counter()
    result = kelvarin.load_pcd(path)
    best = min(best, time.perf_counter() - start)
    del result
print(path, os.path.getsize(path) / 1e6 / best)
"""


def load_command(build, python):
    """The command that times loads of one file by `build` (a build dir or its harness)."""
    build = os.path.realpath(build)
    if python:
        directory = build if os.path.isdir(build) else os.path.dirname(build)
        return [sys.executable, "-I", "-c", MODULE_TIMER, directory]
    return [os.path.join(build, "ascii_decode") if os.path.isdir(build) else build]


def pandas_rate(path, loads):
    """MB/s of pandas' C parser's fastest of `loads` reads of the file's data as float32."""
    import time

    import pandas as pd

    with open(path, "rb") as f:
        header_lines = f.read(4096).split(b"\nDATA ascii\n")[0].count(b"\n") + 2
    best = float("inf")
    for _ in range(loads):
        start = time.perf_counter()
        pd.read_csv(path, sep=" ", header=None, skiprows=header_lines, dtype=np.float32, engine="c")
        best = min(best, time.perf_counter() - start)
    return os.path.getsize(path) / 1e6 / best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "out"))
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--loads", type=int, default=3, help="loads per build and round")
    parser.add_argument("--pandas", action="store_true", help="time pandas.read_csv too")
    parser.add_argument("--only", help="comma-separated clouds to time (default: all)")
    parser.add_argument(
        "--python", action="store_true", help="time kelvarin.load_pcd of each build's module"
    )
    parser.add_argument("builds", nargs="+", metavar="NAME=BUILD")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    paths = write_clouds(args.out)
    if args.only:
        paths = {c: paths[c] for c in args.only.split(",")}
    builds = {
        name: load_command(build, args.python)
        for name, build in (b.split("=", 1) for b in args.builds)
    }
    columns = list(builds) + (["pandas"] if args.pandas else [])
    best = {(b, c): [] for b in columns for c in paths}
    for _ in range(args.rounds):
        for cloud, path in paths.items():
            for build, command in builds.items():
                run = subprocess.run(command + [str(args.loads), path], stdout=subprocess.PIPE)
                if run.returncode:
                    sys.exit(f"{build} failed on {path} (exit status {run.returncode})")
                line = run.stdout.split()
                best[build, cloud].append(float(line[1]))
            if args.pandas:
                best["pandas", cloud].append(pandas_rate(path, args.loads))
    mb = {c: os.path.getsize(p) / 1e6 for c, p in paths.items()}
    what = "kelvarin.load_pcd" if args.python else "ascii_decode"
    print(f"{what}, MB/s, median of {args.rounds} rounds of the fastest of {args.loads} loads")
    first = next(iter(builds))
    ratio = [f"pandas's time over {first}'s"] if args.pandas else []
    print("| cloud | MB | " + " | ".join(columns + ratio) + " |")
    print("|---|--:|" + "--:|" * len(columns + ratio))
    for cloud in paths:
        rate = {b: statistics.median(best[b, cloud]) for b in columns}
        row = [f"{rate[b]:,.0f}" for b in columns]
        if args.pandas:
            row.append(f"{rate[first] / rate['pandas']:.1f}x")
        print(f"| {cloud} | {mb[cloud]:.0f} | " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
