"""The chart of a benchmark run (results.json): million points per second of every
loader, one panel per data kind, log scale.

    python benchmarks/chart.py results.json [out.png]

Without out.png: benchmarks/results.png for a full run with the default
options, else beside the JSON.
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcdgen  # noqa: E402
from common import HERE, LOADERS, caption, find, load, size_label  # noqa: E402


def chart(data: dict, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    res = data["results"]
    order = LOADERS
    colors = {
        "kelvarin": "#d62728",
        "numpy.fromfile": "#7f7f7f",
        "lzf_decompress": "#e377c2",
        "python-lzf+frombuffer": "#8c564b",
        "numpy.loadtxt": "#bcbd22",
        "pandas.read_csv": "#17becf",
        "pypcd4": "#1f77b4",
        "open3d": "#2ca02c",
        "open3d.t": "#9467bd",
    }
    clouds = list(dict.fromkeys(r["cloud"] for r in res))
    sizes = sorted({r["points"] for r in res})
    kinds = [k for k in pcdgen.KINDS if any(r["kind"] == k for r in res)]
    fig, axes = plt.subplots(
        1,
        len(kinds),
        figsize=(16, 5.6),
        sharey=True,
        squeeze=False,
        gridspec_kw={
            "width_ratios": [
                max(1, len({(r["cloud"], r["points"]) for r in res if r["kind"] == k}))
                for k in kinds
            ]
        },
    )
    axes = axes[0]
    used = []
    for ax, kind in zip(axes, kinds):
        groups = [
            (c, n)
            for c in clouds
            for n in sizes
            if any(r["cloud"] == c and r["points"] == n and r["kind"] == kind for r in res)
        ]
        loaders = [
            name for name in order if any(r["loader"] == name and r["kind"] == kind for r in res)
        ]
        width = 0.8 / max(1, len(loaders))
        for gi, (cloud, n) in enumerate(groups):
            for li, name in enumerate(loaders):
                r = find(res, cloud, n, kind, name)
                x = gi + (li - (len(loaders) - 1) / 2) * width
                if r is None:  # not run on this cloud
                    continue
                if "median_s" not in r:
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
        ax.set_xticklabels([f"{c}\n{size_label(n)}" for c, n in groups], fontsize=9)
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
    fig.legend(
        handles=handles, loc="upper center", ncol=min(len(handles), 6), fontsize=9, frameon=False
    )
    fig.text(
        0.5,
        0.012,
        "PCD load speed, page cache warm: median of >= 5 runs (a peer taking"
        " >= 2 s: 3 runs; numpy.loadtxt: 3 runs), each loader in a fresh process.\n"
        + caption(data),
        ha="center",
        fontsize=8.5,
    )
    fig.tight_layout(rect=(0, 0.07, 1, 0.89))
    fig.savefig(path, dpi=80)
    plt.close(fig)


def main() -> int:
    if not 2 <= len(sys.argv) <= 3:
        sys.exit(__doc__)
    data = load(sys.argv[1])
    if len(sys.argv) == 3:
        out = sys.argv[2]
    elif data.get("default_run"):
        out = os.path.join(HERE, "results.png")  # the chart the READMEs show
    else:
        out = os.path.splitext(sys.argv[1])[0] + ".png"
    chart(data, out)
    print(f"Chart: {os.path.relpath(out)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
