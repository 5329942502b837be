"""The published workload of the ducks package, against the same peers.

    python bench/ducks_scenario.py [--size 2000000] [--repeat 7] [--peers ...] [--out bench/results]

Records are drawn exactly as ducks' own performance notebook draws them, so
that its published figures compare with these: `random.seed(36)`, then per
record `size = randint(1, 100)`, `type`, `color` and `shape` by
`random.choice`, in that order. The query is `type == 'watermelon' and
size == 50 and color == 'green' and shape == 'cube'` (200 hits at 2M), every
result the list of matching objects. Each figure is, as in the notebook, the
best of `--repeat` runs of 10 calls, divided by 10.
"""

from __future__ import annotations

import argparse
import gc
import json
import random
import sqlite3
import sys
import time
from pathlib import Path
from typing import Callable

if __package__ in (None, ""):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from bench.report import machine_info  # noqa: E402

TYPES = ["apple", "grape", "mango", "banana", "watermelon"]
COLORS = ["red", "orange", "yellow", "green", "blue"]
SHAPES = ["cube", "sphere", "pyramid", "dodecahedron"]
QUERY = {"type": "watermelon", "size": 50, "color": "green", "shape": "cube"}
ATTRS = ["type", "size", "color", "shape"]
PEERS = ["tarnwick", "tarnwick_expr", "frozendex", "dex", "sqlite", "listcomp"]
LABELS = {"tarnwick": "Tarnwick reduced(**kw).collect()",
          "tarnwick_expr": "Tarnwick reduced_query(and_(...)).collect()",
          "frozendex": "ducks FrozenDex", "dex": "ducks Dex", "sqlite": "sqlite3 (index per column)",
          "listcomp": "list comprehension"}
CALLS = 10


def records(n: int) -> list[dict]:
    """The notebook's records: the draws in its order, from its seed."""
    random.seed(36)
    out = []
    for _ in range(n):
        size = random.randint(1, 100)
        out.append({"size": size, "type": random.choice(TYPES), "color": random.choice(COLORS),
                    "shape": random.choice(SHAPES)})
    return out


def best_of(fn: Callable[[], list], repeat: int) -> float:
    """Seconds per call: the best of `repeat` runs of CALLS calls, collector paused."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        fn()
        best = float("inf")
        for _ in range(repeat):
            start = time.perf_counter()
            for _ in range(CALLS):
                fn()
            best = min(best, (time.perf_counter() - start) / CALLS)
        return best
    finally:
        if enabled:
            gc.enable()


def _tarnwick(recs: list[dict], expr: bool):
    from Tarnwick import Index, Indexable, PyQueryExpr as Q

    class Fruit(Indexable):
        pass

    objs = [Fruit(**r) for r in recs]
    index = Index()
    index.add_object_many(objs)
    if expr:
        query = Q.and_(*(Q.eq(k, v) for k, v in QUERY.items()))
        return objs, lambda: index.reduced_query(query).collect()
    return objs, lambda: index.reduced(**QUERY).collect()


def _ducks(recs: list[dict], frozen: bool):
    from ducks import Dex, FrozenDex
    dex = (FrozenDex if frozen else Dex)(recs, ATTRS)
    return recs, lambda: dex[QUERY]


def _sqlite(recs: list[dict]):
    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE fruit (id INTEGER PRIMARY KEY, type TEXT, size INTEGER, color TEXT, shape TEXT)")
    db.executemany("INSERT INTO fruit VALUES (?, ?, ?, ?, ?)",
                   ((i, r["type"], r["size"], r["color"], r["shape"]) for i, r in enumerate(recs)))
    for attr in ATTRS:
        db.execute(f"CREATE INDEX fruit_{attr} ON fruit({attr})")
    db.execute("ANALYZE")
    sql = "SELECT id FROM fruit WHERE type = ? AND size = ? AND color = ? AND shape = ?"
    args = tuple(QUERY[a] for a in ATTRS)
    return recs, lambda: [recs[i] for (i,) in db.execute(sql, args)]


def _listcomp(recs: list[dict]):
    def run():
        return [r for r in recs if r["type"] == "watermelon" and r["size"] == 50
                and r["color"] == "green" and r["shape"] == "cube"]
    return recs, run


MAKERS = {"tarnwick": lambda r: _tarnwick(r, False), "tarnwick_expr": lambda r: _tarnwick(r, True),
          "frozendex": lambda r: _ducks(r, True), "dex": lambda r: _ducks(r, False),
          "sqlite": _sqlite, "listcomp": _listcomp}


def run(size: int, repeat: int, peers: list[str]) -> dict:
    recs = records(size)
    expected = sorted(i for i, r in enumerate(recs) if all(r[k] == v for k, v in QUERY.items()))
    figures: dict[str, dict] = {}
    for key in peers:
        try:
            start = time.perf_counter()
            items, fn = MAKERS[key](recs)
            build = time.perf_counter() - start
        except ImportError as exc:
            figures[key] = {"status": "skipped", "reason": str(exc)}
            print(f"{LABELS[key]:45} skipped: {exc}")
            continue
        position = {id(o): i for i, o in enumerate(items)}
        got = sorted(position[id(o)] for o in fn())
        seconds = best_of(fn, repeat)
        figures[key] = {"status": "ok" if got == expected else "wrong", "query_s": seconds,
                        "build_s": build, "hits": len(got)}
        print(f"{LABELS[key]:45} {seconds * 1e3:9.3f} ms  ({len(got)} hits, build {build:.1f} s)"
              + ("" if got == expected else "  WRONG"))
        del items, fn
        gc.collect()
    return {"size": size, "hits": len(expected), "repeat": repeat, "figures": figures}


def markdown(doc: dict) -> str:
    figures = doc["figures"]
    ours = figures.get("tarnwick", {}).get("query_s")
    m = doc.get("machine", {})
    lines = [f"## ducks workload: {doc['size']:,} objects, {doc['hits']} hits",
             "",
             f"Measured {m.get('date', '?')} at commit {m.get('commit', '?')}: {m.get('cpu', '?')}, "
             f"{m.get('cores', '?')} cores, Python {m.get('python', '?')}.",
             "",
             "`type == 'watermelon' and size == 50 and color == 'green' and shape == 'cube'`, "
             f"collected into a list; best of {doc['repeat']} runs of {CALLS} calls.",
             "",
             "| peer | query | Tarnwick's speed-up |",
             "| --- | ---: | ---: |"]
    for key, fig in figures.items():
        if fig["status"] == "skipped":
            lines.append(f"| {LABELS[key]} | skipped: {fig['reason']} | |")
            continue
        mark = "" if fig["status"] == "ok" else " (wrong)"
        ratio = f"{fig['query_s'] / ours:.1f}x" if ours and key != "tarnwick" else ""
        lines.append(f"| {LABELS[key]} | {fig['query_s'] * 1e3:.3f} ms{mark} | {ratio} |")
    return "\n".join(lines) + "\n"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="The ducks package's published workload.")
    parser.add_argument("--size", type=int, default=2_000_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--peers", default=",".join(PEERS),
                        help=f"comma-separated, out of {', '.join(PEERS)}")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args(argv)
    peers = [p.strip() for p in args.peers.split(",") if p.strip()]
    unknown = [p for p in peers if p not in MAKERS]
    if unknown:
        parser.error(f"unknown peers: {', '.join(unknown)}")
    machine = machine_info()
    doc = run(args.size, args.repeat, peers)
    doc["machine"] = machine
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "ducks.json").write_text(json.dumps(doc, indent=1))
    (args.out / "ducks.md").write_text(markdown(doc))
    print(f"wrote {args.out / 'ducks.json'}, {args.out / 'ducks.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
