"""The ratios this project promises, checked against a benchmark run's figures
(results.json): one line each, PASS or FAIL; the exit status is the number of
FAILs (n/a, where the run lacks a figure, does not count).

    python benchmarks/targets.py results.json
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcdgen  # noqa: E402
from common import KIND_SHORT, PEERS, find, load, size_label  # noqa: E402

# Time of kelvarin against another loader on the same file, for every cloud and
# size measured in that kind: "at most" x its time, or "faster" by at least x.
TIME = [
    ("binary", "numpy.fromfile", "at most", 1.15),
    ("binary_compressed", "lzf_decompress", "at most", 1.3),
    ("ascii", "numpy.loadtxt", "faster", 4.0),
    ("ascii", "pandas.read_csv", "faster", 2.0),
    *(("binary", peer, "faster", 1.0) for peer in PEERS),
    *(("binary_compressed", peer, "faster", 3.0) for peer in PEERS),
    *(("ascii", peer, "faster", 3.0) for peer in PEERS),
]
ASCII_MB_S = 300  # text decoded per second, at least
# The number styles common writers print (pcdgen.PRINTF_STYLES): at least this
# many MB/s, and pandas, which rounds through binary64, not faster.
PRINTF_MB_S = 1000
PRINTF_PANDAS = 1.0
# Clouds below this many points fit in the processor's caches, where the bare
# decompressor's array is reused memory: the target holds from here on.
MIN_POINTS = {"lzf_decompress": 1_000_000}


# Peak extra memory of a kelvarin load, at most 1.05 x this many bytes.
def memory_limit(r: dict) -> tuple[float, str]:
    if r["kind"] == "binary":
        return r["buffer_bytes"], "buffer"
    if r["kind"] == "ascii":
        return r["data_bytes"] + r["buffer_bytes"], "text + buffer"
    return r["block_bytes"] + 2 * r["buffer_bytes"], "block + 2 x buffer"


SCALING = (0.8, 1.2)  # time of the largest size over the smallest, per point


def targets(data: dict) -> list[tuple[str, bool | None, str]]:
    """(name, passed or None where the run has no figure, figures) for every target."""
    res = data["results"]
    out = []
    sizes = sorted({r["points"] for r in res})
    kelvarin = [r for r in res if r["loader"] == "kelvarin" and "median_s" in r]
    for r in kelvarin:
        cloud, n, kind, k = r["cloud"], r["points"], r["kind"], r["median_s"]
        where = f"{KIND_SHORT[kind]} {cloud} {size_label(n)}"
        for t_kind, other, how, x in TIME:
            o = find(res, cloud, n, kind, other)
            if t_kind != kind or o is None or n < MIN_POINTS.get(other, 0):
                continue
            if cloud in pcdgen.PRINTF_STYLES and other == "pandas.read_csv":
                x = PRINTF_PANDAS
            if how == "at most":
                name = f"{where}: kelvarin <= {x:g} x {other}"
            elif x == 1.0:
                name = f"{where}: {other} not faster than kelvarin"
            else:
                name = f"{where}: kelvarin >= {x:g}x faster than {other}"
            if "median_s" not in o:
                out.append((name, None, o.get("skipped") or f"failed: {o.get('error')}"))
                continue
            t = o["median_s"]
            ok = k <= x * t if how == "at most" else t >= x * k
            note = ""
            if "extrapolated_from" in o:
                note = f" (extrapolated from {size_label(o['extrapolated_from'])})"
            out.append((name, ok, f"{k:.4f} s vs {t:.4f} s = {k / t:.2f}x its time{note}"))
        if kind == "ascii":
            mbs = r["data_bytes"] / k / 1e6
            least = PRINTF_MB_S if cloud in pcdgen.PRINTF_STYLES else ASCII_MB_S
            out.append(
                (
                    f"{where}: kelvarin >= {least} MB/s of text",
                    mbs >= least,
                    f"{r['data_bytes'] / 1e6:.0f} MB in {k:.3f} s = {mbs:.0f} MB/s",
                )
            )
        if "peak_extra_bytes" in r:
            limit, what = memory_limit(r)
            peak = r["peak_extra_bytes"]
            out.append(
                (
                    f"{where}: kelvarin peak extra memory <= 1.05 x ({what})",
                    peak <= 1.05 * limit,
                    f"{peak / 1e6:.1f} MB, limit {1.05 * limit / 1e6:.1f} MB"
                    f" = {peak / r['buffer_bytes']:.2f}x buffer",
                )
            )
    if len(sizes) >= 2:
        small, large = sizes[0], sizes[-1]
        factor = large / small
        lo, hi = SCALING[0] * factor, SCALING[1] * factor
        for cloud in dict.fromkeys(r["cloud"] for r in kelvarin):
            for kind in pcdgen.KINDS:
                a, b = (
                    find(res, cloud, small, kind, "kelvarin"),
                    find(res, cloud, large, kind, "kelvarin"),
                )
                if a and b and "median_s" in a and "median_s" in b:
                    ratio = b["median_s"] / a["median_s"]
                    out.append(
                        (
                            f"scaling {KIND_SHORT[kind]} {cloud}: {size_label(large)} costs"
                            f" {lo:g}-{hi:g}x the time of {size_label(small)}",
                            lo <= ratio <= hi,
                            f"{b['median_s']:.4f} s / {a['median_s']:.4f} s = {ratio:.2f}x",
                        )
                    )
    return out


def main() -> int:
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    data = load(sys.argv[1])
    print("Targets:" + (" (QUICK RUN: indicative only)" if data.get("quick") else ""))
    failed = 0
    for name, ok, figures in targets(data):
        word = "PASS" if ok else ("n/a " if ok is None else "FAIL")
        failed += ok is False
        print(f"  {word}  {name}: {figures}")
    print(f"{failed} target(s) missed." if failed else "All targets met.")
    return min(failed, 100)


if __name__ == "__main__":
    sys.exit(main())
