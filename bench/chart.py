"""Draws a benchmark run's table as a chart (PNG).

    bench/.venv/bin/python bench/chart.py bench/results/latest.json out.png

Per scenario two panels side by side: requests per second and CPU per request
(microseconds) for every client, medians over the repeats, with wrk's ceiling
(the server's own limit, and wrk's CPU per request) as a dashed line. Run by
run.py with the benchmark venv's interpreter, where matplotlib lives.
"""

import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

COLOURS = {"tarnix": "#d62728", "tarnix-raw": "#ff9896", "aiohttp": "#1f77b4",
           "httpx": "#aec7e8", "pyreqwest": "#2ca02c", "rnet": "#98df8a",
           "curl_cffi": "#9467bd"}


def draw(doc, out):
    summary = doc["summary"]
    meta = doc["meta"]
    scenarios = sorted(summary, key=int)
    fig, axes = plt.subplots(len(scenarios), 2, figsize=(12, 2.6 * len(scenarios)),
                             squeeze=False)
    for row, s in zip(axes, scenarios):
        data = summary[s]
        title = meta["scenarios"][str(s)]["title"] if str(s) in meta["scenarios"] else s
        clients = [c for c in data if not c.startswith("_") and c != "wrk"
                   and "rps" in data[c]]
        colours = [COLOURS.get(c, "#7f7f7f") for c in clients]
        rps = [data[c]["rps"] for c in clients]
        cpu = [data[c]["cpu_s_per_1k"] * 1000 for c in clients]  # s per 1k = ms; x1000 = us
        wrk = data.get("wrk")
        aio = data.get("aiohttp", {})
        for ax, values, label, ceiling, ref in (
                (row[0], rps, "requests / s", wrk and wrk.get("rps"), None),
                (row[1], cpu, "CPU us / request", wrk and wrk.get("cpu_s_per_1k") and
                 wrk["cpu_s_per_1k"] * 1000, aio.get("cpu_s_per_1k") and aio["cpu_s_per_1k"] * 1000)):
            top = max(values)
            if ref:
                # One very slow client must not squash the others' bars.
                top = min(top, 3 * ref)
            if ceiling and ceiling <= 3 * top:
                top = max(top, ceiling)
            limit = top * 1.3
            bars = ax.barh(clients, [min(v, limit) for v in values], color=colours)
            ax.invert_yaxis()
            ax.set_xlim(0, limit)
            ax.set_xlabel(label, fontsize=8)
            ax.tick_params(labelsize=8)
            for b, v in zip(bars, values):
                x = min(v, limit * 0.78)
                ax.text(x, b.get_y() + b.get_height() / 2, f" {v:,.0f}", va="center", fontsize=7,
                        clip_on=True)
            if ceiling and ceiling <= limit:
                ax.axvline(ceiling, color="black", linestyle="--", linewidth=1)
                ax.text(ceiling, -0.7, "wrk", fontsize=7, ha="center", va="bottom")
            elif ceiling:
                ax.text(limit, -0.7, f"wrk {ceiling:,.0f} ->", fontsize=7, ha="right", va="bottom")
        row[0].set_title(f"({s}) {title}", fontsize=9, loc="left")
    m = meta["machine"]
    fig.suptitle(f"tarnix benchmark {meta['date']}: {m.get('cpu', '?')}, {m['cores']} cores; "
                 f"medians of {meta['repeats']} repeat(s)"
                 + ("" if meta["scale"] == 1 else f", counts x{meta['scale']}"), fontsize=10)
    fig.subplots_adjust(left=0.09, right=0.98, top=1 - 1.0 / (2.6 * len(scenarios)), bottom=0.03,
                        hspace=0.75, wspace=0.25)
    fig.savefig(out, dpi=80)


if __name__ == "__main__":
    with open(sys.argv[1]) as f:
        draw(json.load(f), sys.argv[2])
