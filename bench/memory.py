"""Memory per object of one peer, measured in a process of its own.

Run as a script by the benchmark (one process per peer and per measure, so
that neither the other peers' allocations nor tracemalloc's own bookkeeping
mix into a figure). Two phases are measured after the rows exist: making
the objects the peer holds, then building its structure. tracemalloc sees
only what Python's allocators hand out; RSS also sees native memory
(SQLite's pages, Tarnwick's bitmaps and attribute maps).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import tracemalloc
from pathlib import Path

if __package__ in (None, ""):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from bench.peers import BY_KEY  # noqa: E402
from bench.workload import Workload  # noqa: E402

MODES = ("rss", "tracemalloc")


def resident_bytes() -> int:
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        import psutil
        return psutil.Process().memory_info().rss


def probe(peer_key: str, n: int, seed: int, mode: str) -> dict:
    peer_cls = BY_KEY[peer_key]
    reason = peer_cls.unavailable()
    if reason:
        return {"status": "skipped", "reason": reason}
    peer_cls.warm_up()
    workload = Workload.generate(n, seed)
    gc.collect()
    # Tracing stays on only while the probe runs: left on, it slows every
    # allocation of the process that called the probe.
    tracing = mode == "tracemalloc" and not tracemalloc.is_tracing()
    if mode == "tracemalloc":
        if tracing:
            tracemalloc.start()

        def read() -> int:
            return tracemalloc.get_traced_memory()[0]
    else:
        read = resident_bytes
    try:
        base = read()
        peer = peer_cls(workload)
        peer.objects
        gc.collect()
        after_objects = read()
        peer.build()
        gc.collect()
        after_build = read()
    finally:
        if tracing:
            tracemalloc.stop()
    return {"status": "ok", "mode": mode, "n": n,
            "objects_bytes": after_objects - base,
            "index_bytes": after_build - after_objects,
            "objects_per_object": (after_objects - base) / max(n, 1),
            "index_per_object": (after_build - after_objects) / max(n, 1)}


def measure(peer_key: str, n: int, seed: int, mode: str, timeout: float = 3600) -> dict:
    """Runs `probe` in a fresh interpreter and returns its figures (or why there are none)."""
    cmd = [sys.executable, str(Path(__file__).resolve()), "--peer", peer_key, "--n", str(n),
           "--seed", str(seed), "--mode", mode]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"status": "error", "reason": f"no answer within {timeout:.0f} s"}
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        tail = (done.stderr or done.stdout).strip().splitlines()[-3:]
        return {"status": "error", "reason": f"exit {done.returncode}: " + " | ".join(tail)}
    return json.loads(lines[-1])


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--peer", required=True, choices=sorted(BY_KEY))
    parser.add_argument("--n", type=int, required=True)
    parser.add_argument("--seed", type=int, default=8)
    parser.add_argument("--mode", choices=MODES, default="rss")
    args = parser.parse_args(argv)
    print(json.dumps(probe(args.peer, args.n, args.seed, args.mode)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
