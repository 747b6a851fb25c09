"""Tables of a benchmark run's figures (results.json): the files, every loader's
time, memory and check, and the short markdown table of kelvarin against the others.

    python benchmarks/tables.py results.json
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcdgen  # noqa: E402
from common import BASELINES, CALLS, KIND_SHORT, PEERS, find, fmt_mb, load, size_label  # noqa: E402


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
            f"  {r['cloud']:8s} {size_label(r['points']):>5s} {r['kind']:18s}"
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


def print_tables(data: dict) -> None:
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


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    print_tables(load(sys.argv[1]))
