"""How Tarnwick's costs grow with N: one fresh process per size.

    python bench/scaling.py [--sizes 10000,100000,1000000,4000000] [--repeat 3] [--out bench/results]

For each N, in a process of its own (so that no size inherits another's
heap): making the N objects and building the index (seconds and RSS per
object), then three queries collected into lists (`age == 30`, a 10% score
range, `and3`), with the list comprehension over plain objects beside them
as the yardstick whose cost grows linearly. Sizes run smallest first; a size
that fails (out of memory, say) is reported with its reason and the larger
ones still run.
"""

from __future__ import annotations

import argparse
import gc
import json
import subprocess
import sys
import time
from pathlib import Path

if __package__ in (None, ""):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from bench.memory import resident_bytes  # noqa: E402
from bench.operations import BY_KEY  # noqa: E402
from bench.report import machine_info  # noqa: E402
from bench.runner import fmt_time  # noqa: E402
from bench.timing import time_calls  # noqa: E402
from bench.workload import Workload, make_plain_objects  # noqa: E402

DEFAULT_SIZES = [10_000, 100_000, 1_000_000, 4_000_000]
QUERIES = ("eq_int", "range_10", "and3")


def measure_size(n: int, seed: int, repeat: int) -> dict:
    """Every figure of one size, in this process."""
    from bench.peers.listcomp import ListComprehension
    from bench.peers.tarnwick_peer import Tarnwick

    Tarnwick.warm_up()  # lazy imports and class set-up land in no figure
    workload = Workload.generate(n, seed)
    gc.collect()
    peer = Tarnwick(workload)

    base = resident_bytes()
    start = time.perf_counter()
    peer.objects
    create_s = time.perf_counter() - start
    gc.collect()
    after_objects = resident_bytes()

    gc.disable()
    start = time.perf_counter()
    peer.build()
    build_s = time.perf_counter() - start
    gc.enable()
    gc.collect()
    after_build = resident_bytes()

    figures = {"n": n, "create_s": create_s, "build_s": build_s,
               "objects_per_object": (after_objects - base) / n,
               "index_per_object": (after_build - after_objects) / n, "queries": {}}

    plain_base = resident_bytes()
    start = time.perf_counter()
    plain = make_plain_objects(workload.rows)
    figures["plain_create_s"] = time.perf_counter() - start
    gc.collect()
    figures["plain_per_object"] = (resident_bytes() - plain_base) / n
    workload._objects = plain
    listcomp = ListComprehension(workload)

    min_time = 0.02
    for key in QUERIES:
        op = BY_KEY[key]
        ours, found = time_calls(lambda c=peer.compile(op.query): peer.run(c), repeat, min_time)
        theirs, expected = time_calls(lambda c=listcomp.compile(op.query): listcomp.run(c),
                                      repeat, min_time)
        same = sorted(peer.positions_of(found)) == sorted(listcomp.positions_of(expected))
        figures["queries"][key] = {"tarnwick_s": ours.median, "listcomp_s": theirs.median,
                                   "hits": len(found), "same": same}
    return figures


def run_size(n: int, seed: int, repeat: int, timeout: float) -> dict:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--one", str(n), "--seed", str(seed),
           "--repeat", str(repeat)]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"n": n, "status": "error", "reason": f"no answer within {timeout:.0f} s"}
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        tail = (done.stderr or done.stdout).strip().splitlines()[-3:]
        return {"n": n, "status": "error", "reason": f"exit {done.returncode}: " + " | ".join(tail)}
    return {"status": "ok", **json.loads(lines[-1])}


def markdown(doc: dict) -> str:
    m = doc.get("machine", {})
    lines = ["## Scaling with N",
             "",
             f"Measured {m.get('date', '?')} at commit {m.get('commit', '?')}: {m.get('cpu', '?')}, "
             f"{m.get('cores', '?')} cores, Python {m.get('python', '?')}. One process per size; "
             f"queries are medians of {doc['repeat']} runs, collected into lists; the list "
             "comprehension runs over plain objects in the same process.",
             "",
             "| N | create / object | build / object | objects (RSS / object) | index (RSS / object) "
             "| plain objects (RSS / object) | " + " | ".join(QUERIES) + " |",
             "| ---: | ---: | ---: | ---: | ---: | ---: | " + " | ".join("---:" for _ in QUERIES) + " |"]
    for row in doc["rows"]:
        if row["status"] != "ok":
            lines.append(f"| {row['n']:,} | {row['reason']} |" + " |" * (5 + len(QUERIES)))
            continue
        n = row["n"]
        cells = []
        for key in QUERIES:
            q = row["queries"][key]
            mark = "" if q["same"] else " (wrong)"
            cells.append(f"{fmt_time(q['tarnwick_s'])} ({q['listcomp_s'] / q['tarnwick_s']:.0f}x){mark}")
        create = f"{fmt_time(row['create_s'] / n)} ({row['create_s'] / row['plain_create_s']:.1f}x plain)"
        lines.append(f"| {n:,} | {create} | {fmt_time(row['build_s'] / n)} "
                     f"| {row['objects_per_object']:.0f} B | {row['index_per_object']:.0f} B "
                     f"| {row['plain_per_object']:.0f} B | " + " | ".join(cells) + " |")
    lines += ["",
              "Create: Tarnwick's objects per object (over making the plain objects). "
              "Query cells: Tarnwick's time (the list comprehension's time over it)."]
    return "\n".join(lines) + "\n"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="How Tarnwick's costs grow with N.")
    parser.add_argument("--sizes", default=",".join(str(n) for n in DEFAULT_SIZES))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=8)
    parser.add_argument("--timeout", type=float, default=3600)
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.one:
        print(json.dumps(measure_size(args.one, args.seed, args.repeat)))
        return 0
    sizes = sorted(int(s.replace("_", "")) for s in args.sizes.split(",") if s.strip())
    doc = {"machine": machine_info(), "repeat": args.repeat, "rows": []}
    for n in sizes:
        row = run_size(n, args.seed, args.repeat, args.timeout)
        doc["rows"].append(row)
        print(f"N = {n:,}: " + (row.get("reason", "") if row["status"] != "ok" else
                                f"create {row['create_s']:.2f} s, build {row['build_s']:.2f} s, "
                                f"{row['objects_per_object']:.0f} + {row['index_per_object']:.0f} B/object"),
              flush=True)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "scaling.json").write_text(json.dumps(doc, indent=1))
    (args.out / "scaling.md").write_text(markdown(doc))
    print(f"wrote {args.out / 'scaling.json'}, {args.out / 'scaling.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
