"""The chart of query time against N, one panel per query, one line per peer."""

from __future__ import annotations

import math
from pathlib import Path

from bench.operations import OPERATIONS
from bench.peers import BY_KEY as PEERS


def draw(doc: dict, path: Path) -> str | None:
    """Writes the PNG; returns why it was not drawn, or None."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as exc:
        return f"matplotlib is not installed ({exc})"
    sizes = sorted(int(n) for n in doc["results"])
    ops = [op for op in OPERATIONS if op.charted
           and any(doc["results"][str(n)].get(p, {}).get(op.key, {}).get("status") == "ok"
                   for n in sizes for p in PEERS)]
    if not ops:
        return "no query was measured"
    cols = 4
    rows = math.ceil(len(ops) / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(4 * cols, 3.2 * rows), squeeze=False)
    handles = {}
    palette = plt.get_cmap("tab10").colors
    colours = {key: ("black" if key == "tarnwick" else palette[i % len(palette)])
               for i, key in enumerate(PEERS)}
    for ax, op in zip(axes.flat, ops):
        for peer_key, peer in PEERS.items():
            xs, ys = [], []
            for n in sizes:
                entry = doc["results"][str(n)].get(peer_key, {}).get(op.key, {})
                if entry.get("status") == "ok" and entry["median_s"] > 0:
                    xs.append(n)
                    ys.append(entry["median_s"])
            if xs:
                subject = peer_key == "tarnwick"
                (line,) = ax.plot(xs, ys, marker="o", color=colours[peer_key], label=peer.label,
                                  linewidth=2.5 if subject else 1.2, zorder=3 if subject else 2)
                handles[peer.label] = line
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(op.label, fontsize=8)
        ax.set_xlabel("N objects", fontsize=7)
        ax.set_ylabel("seconds", fontsize=7)
        ax.tick_params(labelsize=7)
        ax.grid(True, which="both", alpha=0.3)
    for ax in list(axes.flat)[len(ops):]:
        ax.axis("off")
    m = doc["meta"]["machine"]
    fig.suptitle(f"Query time against N (query + collect, median) - {m['cpu']}, {m['date']}",
                 fontsize=10)
    fig.legend(list(handles.values()), list(handles), loc="lower center", ncol=len(handles),
               fontsize=8)
    fig.tight_layout(rect=(0, 0.04, 1, 0.97))
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return None
