"""ASCII decoding throughput of several builds of the C++ reader, side by side.

Writes the test clouds once (1M points each): the benchmark clouds `xyzi`,
`wide` and `xyzi8g` of pcdgen.py, and x y z intensity F4 clouds in the text styles writers
produce: `%.3f` fixed decimals, `%.8g` of normal values, and `%.8g` of
lidar-like ranges with integer intensities (as PCL's writer prints them).
Then runs each build's `ascii_decode` harness on every cloud in interleaved
rounds and prints the median over rounds of each round's fastest load, in MB/s.

    python benchmarks/ascii_kernels.py [--out DIR] [--rounds 7] NAME=ASCII_DECODE ...

Needs NumPy. Build a harness with -DKELVARIN_BENCH_HARNESS=ON (and
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


def styled_text(style, n):
    """x y z intensity lines of float32 values printed in `style`."""
    rng = np.random.default_rng(17)
    if style == "lidar":
        values = pcdgen.make_records(pcdgen.CLOUDS["wide"], 0, n)
        columns = [values[c].astype(np.float32) for c in "xyz"]
        columns.append(rng.integers(0, 256, n).astype(np.float32))
        fmt = "%.8g"
    else:
        columns = list(rng.normal(0, 50, (4, n)).astype(np.float32))
        fmt = "%.3f" if style == "fixed3" else "%.8g"
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
    for style in ("fixed3", "g8-normal", "g8-lidar"):
        clouds[style] = lambda style=style: (
            pcdgen.header_text(XYZI, POINTS, "ascii")
            + styled_text(style.replace("g8-", "").replace("normal", "g8"), POINTS)
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "out"))
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--loads", type=int, default=3, help="loads per build and round")
    parser.add_argument("builds", nargs="+", metavar="NAME=ASCII_DECODE")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    paths = write_clouds(args.out)
    builds = dict(b.split("=", 1) for b in args.builds)
    best = {(b, c): [] for b in builds for c in paths}
    for _ in range(args.rounds):
        for cloud, path in paths.items():
            for build, exe in builds.items():
                line = subprocess.check_output([exe, str(args.loads), path], text=True).split()
                best[build, cloud].append(float(line[1]))
    mb = {c: os.path.getsize(p) / 1e6 for c, p in paths.items()}
    print(f"MB/s, median of {args.rounds} rounds of the fastest of {args.loads} loads")
    print("| cloud | MB | " + " | ".join(builds) + " |")
    print("|---|--:|" + "--:|" * len(builds))
    for cloud in paths:
        row = [f"{statistics.median(best[b, cloud]):,.0f}" for b in builds]
        print(f"| {cloud} | {mb[cloud]:.0f} | " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
