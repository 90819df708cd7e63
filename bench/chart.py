#!/usr/bin/python3
"""Draws bench/chart.png from a bench run's results.json: per task, ours and each peer as a
ratio to that task's floor (1.0 = the floor; lower is better).

  chart.py [RESULTS_JSON] [OUT_PNG]

Defaults: build-bench/bench-data/out/results.json and bench/chart.png. bench/run.sh calls it
after every full run; it needs python3-matplotlib (installed with the peers).
"""

import json
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import matplotlib.ticker  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WHO = [("ours", "ours", "#d62728"), ("vips", "libvips", "#1f77b4"),
       ("pillow", "Pillow", "#2ca02c"),
       ("pillow_kept", "Pillow, memory kept by glibc", "#98df8a")]


def number(value):
    return value if isinstance(value, (int, float)) else None


def ratios(entry, floor, names=None, suffix="_ms"):
    """{name: entry[name + suffix] / floor} for each of |names| (by default everyone in WHO),
    None where the entry has no figure."""
    names = names or [who for who, _, _ in WHO]
    return {name: number(entry.get(name + suffix)) and entry[name + suffix] / floor
            for name in names}


def tasks(results):
    """(label, floor label, {who: ratio}) for each task the run measured with a floor."""
    out = []
    full = results.get("render-full", {})
    if number(full.get("floor_ms")):
        floor = full["floor_ms"]
        out.append(("render-full, in-process\nfloor: libjpeg DCT 3/8 + encode",
                    ratios(full, floor)))
        out.append(("plain render, crop 0.8\nin-process, same floor",
                    {"ours": number(full.get("ours_plain_ms")) and full["ours_plain_ms"] / floor}))
    proc = full.get("process", {})
    if number(proc.get("floor_ms")):
        floor = proc["floor_ms"]
        out.append(("render-full, process\nfloor: djpeg + cjpeg", ratios(proc, floor)))
    for key in ("png_s1", "png_s2", "jpeg_s1", "jpeg_s2"):
        tile = results.get(f"tile {key}", {})
        floor = number(tile.get("floor_process_ms"))
        if floor:
            out.append((f"tile {key}, process\nfloor: row loop + encode",
                        ratios(tile, floor, ["ours", "vips", "pillow"], "_process_ms")))
    for key in ("png_s1", "rgba_s1"):
        deep = results.get(f"deep {key}", {})
        top = number(deep.get("top_ms"))
        if top:
            out.append((f"deep tile {key}, in-process\nfloor: our top tile", {
                "ours": number(deep.get("read_past_ms")) and deep["read_past_ms"] / top,
                "vips": number(deep.get("vips_deep_ms")) and deep["vips_deep_ms"] / top,
                "pillow": number(deep.get("pillow_deep_ms")) and deep["pillow_deep_ms"] / top}))
            out.append((f"scroll {key}, per tile\nfloor: our top tile", {
                "ours": (number(deep.get("scroll_per_tile_ms")) and
                         deep["scroll_per_tile_ms"] / top)}))
    meta = results.get("metadata process", {})
    floor = number(meta.get("floor_ms"))
    if floor:
        out.append(("metadata, process\nfloor: /bin/true",
                    ratios(meta, floor, ["ours", "vips", "pillow"])))
    return out


def main():
    source = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        REPO, "build-bench", "bench-data", "out", "results.json")
    target = sys.argv[2] if len(sys.argv) > 2 else os.path.join(REPO, "bench", "chart.png")
    with open(source) as f:
        report = json.load(f)
    rows = tasks(report.get("results", {}))
    if not rows:
        sys.exit(f"{source} holds no task with a floor; run bench/run.sh first")

    fig, ax = plt.subplots(figsize=(10, 1.4 + 0.75 * len(rows)))
    height = 0.8 / len(WHO)
    for i, (label, ratios) in enumerate(rows):
        for j, (who, name, colour) in enumerate(WHO):
            value = ratios.get(who)
            if not value:
                continue
            y = i + (j - (len(WHO) - 1) / 2) * height
            ax.barh(y, value, height=height * 0.9, color=colour,
                    label=name if i == 0 or not ax.get_legend_handles_labels()[1].count(name)
                    else None)
            ax.text(value, y, f" {value:.2f}", va="center", fontsize=8)
    ax.axvline(1.0, color="black", linewidth=1)
    # Ratios run from under 1 to over 10: a log scale keeps the small ones readable.
    ax.set_xscale("log")
    ax.set_xlim(0.5, max(v for _, r in rows for v in r.values() if v) * 1.6)
    ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}x"))
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([label for label, _ in rows], fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel("time / floor (1x = the floor, the least work the job needs; lower is better)")
    handles, labels = ax.get_legend_handles_labels()
    unique = dict(zip(labels, handles))
    ax.legend(unique.values(), unique.keys(), loc="upper center", bbox_to_anchor=(0.5, -0.09),
              ncol=len(unique), fontsize=8, frameon=False)
    machine = report.get("machine", "")
    load = report.get("load")
    ax.set_title(f"velmo_image_tools against libvips and Pillow, {report.get('date', '')}"
                 f"{', ' + machine if machine else ''}"
                 f"{f', load average {load[0]} to {load[1]}' if load else ''}", fontsize=9)
    fig.tight_layout()
    fig.savefig(target, dpi=100)
    print(f"wrote {target}")


if __name__ == "__main__":
    main()
