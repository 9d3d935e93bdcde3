"""Draws a benchmark run's table as a chart (PNG).

    bench/.venv/bin/python bench/chart.py bench/results/latest.json out.png

Per scenario two panels side by side: requests per second and CPU per request
(microseconds) for every client, medians over the repeats, with wrk's ceiling
(the server's own limit, and wrk's CPU per request) as a dashed line. A busy-loop
scenario gets the latency percentiles of every client and the loop's work per
second; the burst scenarios share one row: wall time and CPU against N. Run by
run.py with the benchmark venv's interpreter, where matplotlib lives.
"""

import json
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import matplotlib.ticker  # noqa: E402

COLOURS = {"tarnix": "#d62728", "tarnix-raw": "#ff9896", "aiohttp": "#1f77b4",
           "httpx": "#aec7e8", "pyreqwest": "#2ca02c", "rnet": "#98df8a",
           "curl_cffi": "#9467bd", "tarnix-sync": "#8c564b", "httpx-sync": "#c49c94",
           "requests": "#bcbd22"}


def _kind(meta, s):
    return meta["scenarios"].get(str(s), {}).get("kind", "load")


def _clients(data, key):
    return [c for c in data if not c.startswith("_") and c != "wrk" and key in data[c]]


def draw_busy(row, s, data, title):
    clients = _clients(data, "lat_p99_ms")
    if not clients:
        return
    ax = row[0]
    height = 0.27
    for j, (key, label, alpha) in enumerate((("lat_p50_ms", "p50", 1.0),
                                             ("lat_p90_ms", "p90", 0.65),
                                             ("lat_p99_ms", "p99", 0.35))):
        ys = [i + (j - 1) * height for i in range(len(clients))]
        ax.barh(ys, [max(data[c][key], 1e-3) for c in clients], height=height,
                color=[COLOURS.get(c, "#7f7f7f") for c in clients], alpha=alpha,
                label=label, edgecolor="black", linewidth=0.3)
        if key == "lat_p99_ms":
            for y, c in zip(ys, clients):
                ax.text(data[c][key], y, f" {data[c][key]:,.1f}", va="center", fontsize=6)
    # Latencies span orders of magnitude when a client stalls.
    ax.set_xscale("log")
    low = min(data[c]["lat_p50_ms"] for c in clients)
    high = max(data[c]["lat_p99_ms"] for c in clients)
    # Room on the right for the p99 labels.
    ax.set_xlim(10 ** math.floor(math.log10(max(low, 1e-3))), max(high, 1e-3) * 3)
    ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}"))
    ax.set_yticks(range(len(clients)))
    ax.set_yticklabels(clients)
    ax.invert_yaxis()
    ax.set_xlabel("latency per request, ms (bars: p50, p90, p99; log scale)", fontsize=8)
    ax.tick_params(labelsize=8)
    ax.legend(fontsize=6, loc="lower right")
    ax.set_title(f"({s}) {title}", fontsize=9, loc="left")

    ax = row[1]
    work = [data[c]["work_per_s"] for c in clients]
    bars = ax.barh(clients, work, color=[COLOURS.get(c, "#7f7f7f") for c in clients])
    ax.invert_yaxis()
    idle = sorted(data[c]["work_idle_per_s"] for c in clients
                  if data[c].get("work_idle_per_s"))
    top = max(work + idle[-1:]) * 1.3
    ax.set_xlim(0, top)
    for b, v in zip(bars, work):
        ax.text(v, b.get_y() + b.get_height() / 2, f" {v:,.0f}", va="center", fontsize=7)
    if idle:
        alone = idle[len(idle) // 2]
        ax.axvline(alone, color="black", linestyle="--", linewidth=1)
        ax.text(alone, -0.7, "load alone", fontsize=7, ha="center", va="bottom")
    ax.set_xlabel("loop work done: 1 ms slices / s", fontsize=8)
    ax.tick_params(labelsize=8)


def draw_burst(row, summary, meta, bursts):
    sizes = {s: meta["scenarios"][str(s)]["n"] for s in bursts}
    clients = []
    for s in bursts:
        clients += [c for c in _clients(summary[s], "wall_s") if c not in clients]
    for ax, key, label in ((row[0], "wall_s", "wall time, s"),
                           (row[1], "cpu_s", "CPU s, client process")):
        for c in clients:
            pts = [(sizes[s], summary[s][c][key]) for s in bursts
                   if key in summary[s].get(c, {})]
            # A run that lost requests is drawn hollow.
            lost = [(sizes[s], summary[s][c][key]) for s in bursts
                    if key in summary[s].get(c, {})
                    and summary[s][c]["succeeded_min"] < summary[s][c]["requests"]]
            ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", markersize=4,
                    color=COLOURS.get(c, "#7f7f7f"), label=c)
            if lost:
                ax.plot([p[0] for p in lost], [p[1] for p in lost], marker="o",
                        markersize=9, linestyle="none", markerfacecolor="none",
                        color="black")
        ax.set_xticks(sorted(sizes.values()))
        ax.set_xlabel("N requests at once (each answered after 2 s; black ring: "
                      "some failed)", fontsize=8)
        ax.set_ylabel(label, fontsize=8)
        ax.set_ylim(bottom=0)
        ax.tick_params(labelsize=8)
    row[0].legend(fontsize=6, loc="upper left")
    row[0].set_title("(" + ",".join(str(s) for s in bursts) + ") burst: N GETs at once, "
                     "connection limit N, the server answers after 2 s", fontsize=9,
                     loc="left")


def draw(doc, out):
    summary = doc["summary"]
    meta = doc["meta"]
    scenarios = sorted(summary, key=int)
    bursts = [s for s in scenarios if _kind(meta, s) == "burst"]
    panels = [s for s in scenarios if s not in bursts] + ([bursts] if bursts else [])
    height = 2.6 * len(panels) + 0.6
    fig, axes = plt.subplots(len(panels), 2, figsize=(12, height),
                             squeeze=False)
    for row, s in zip(axes, panels):
        if isinstance(s, list):
            draw_burst(row, summary, meta, s)
            continue
        data = summary[s]
        title = meta["scenarios"][str(s)]["title"] if str(s) in meta["scenarios"] else s
        if _kind(meta, s) == "busy":
            draw_busy(row, s, data, title)
            continue
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
    # Margins in inches, so a chart of one row keeps room for its labels.
    fig.subplots_adjust(left=0.09, right=0.98, top=1 - 1.0 / height, bottom=0.6 / height,
                        hspace=0.75, wspace=0.25)
    fig.savefig(out, dpi=80)


if __name__ == "__main__":
    with open(sys.argv[1]) as f:
        draw(json.load(f), sys.argv[2])
