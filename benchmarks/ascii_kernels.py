"""ASCII decoding throughput of several builds of the C++ reader, side by side.

Writes the test clouds once (1M points each): the benchmark clouds `xyzi`,
`wide` and `xyzi8g` of pcdgen.py, and x y z intensity F4 clouds in the text
styles writers produce, as NumPy's savetxt prints them: `%.8g` of normal
values and of lidar-like ranges with integer intensities (as PCL's writer
prints them), and coordinates uniform in +-80 with integer intensities in
`%.3f`, `%.8g`, `%.9g`, `%.8e`, `%.18e` (savetxt's default), `%f` and `%d`,
plus `%.8g` of small values (normal of scale 0.05, intensities in [0, 1)),
which come out with exponents. Then runs each build's `ascii_decode` harness
on every cloud in interleaved rounds and prints the median over rounds of each
round's fastest load, in MB/s; with --pandas, pandas' C parser reading the
same text as float32 columns too.

    python benchmarks/ascii_kernels.py [--out DIR] [--rounds 7] [--pandas] NAME=ASCII_DECODE ...

Needs NumPy (and pandas for --pandas). Build a harness with -DKELVARIN_BENCH_HARNESS=ON (and
-DKELVARIN_KERNEL=... for one kernel); the target is `ascii_decode`.
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
XYZI = (
    pcdgen.Field("x", "F", 4, 1, 3),
    pcdgen.Field("y", "F", 4, 1, 3),
    pcdgen.Field("z", "F", 4, 1, 3),
    pcdgen.Field("intensity", "F", 4, 1, 3),
)


# Number styles as common writers print them: (printf format, values).
PRINTF_STYLES = {
    "f3": ("%.3f", "uniform"),
    "g8": ("%.8g", "uniform"),
    "g8-small": ("%.8g", "small"),
    "g9": ("%.9g", "uniform"),
    "e8": ("%.8e", "uniform"),
    "e18": ("%.18e", "uniform"),
    "f6": ("%f", "uniform"),
    "d": ("%d", "uniform"),
}


def styled_columns(values, n, rng):
    """x y z intensity columns of float32 values of one kind."""
    if values == "lidar":
        records = pcdgen.make_records(pcdgen.CLOUDS["wide"], 0, n)
        columns = [records[c].astype(np.float32) for c in "xyz"]
        columns.append(rng.integers(0, 256, n).astype(np.float32))
    elif values == "normal":
        columns = list(rng.normal(0, 50, (4, n)).astype(np.float32))
    elif values == "uniform":
        columns = list(rng.uniform(-80, 80, (3, n)).astype(np.float32))
        columns.append(rng.integers(0, 256, n).astype(np.float32))
    else:  # small
        columns = list(rng.normal(0, 0.05, (3, n)).astype(np.float32))
        columns.append(rng.uniform(0, 1, n).astype(np.float32))
    return columns


def styled_text(fmt, values, n):
    """x y z intensity lines of float32 values printed in `fmt`."""
    columns = styled_columns(values, n, np.random.default_rng(17))
    if fmt == "%d":
        columns = [np.rint(c).astype(np.int64) for c in columns]
    lines = (" ".join([fmt] * 4) + "\n") * n
    return (lines % tuple(np.stack(columns, axis=1).ravel().tolist())).encode()


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
    styles.update(PRINTF_STYLES)
    for style, (fmt, values) in styles.items():
        clouds[style] = lambda fmt=fmt, values=values: (
            pcdgen.header_text(XYZI, POINTS, "ascii") + styled_text(fmt, values, POINTS)
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
    parser.add_argument("builds", nargs="+", metavar="NAME=ASCII_DECODE")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    paths = write_clouds(args.out)
    if args.only:
        paths = {c: paths[c] for c in args.only.split(",")}
    builds = dict(b.split("=", 1) for b in args.builds)
    columns = list(builds) + (["pandas"] if args.pandas else [])
    best = {(b, c): [] for b in columns for c in paths}
    for _ in range(args.rounds):
        for cloud, path in paths.items():
            for build, exe in builds.items():
                line = subprocess.check_output([exe, str(args.loads), path], text=True).split()
                best[build, cloud].append(float(line[1]))
            if args.pandas:
                best["pandas", cloud].append(pandas_rate(path, args.loads))
    mb = {c: os.path.getsize(p) / 1e6 for c, p in paths.items()}
    print(f"MB/s, median of {args.rounds} rounds of the fastest of {args.loads} loads")
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
