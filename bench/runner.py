"""Runs every operation on every peer for each size, and the memory probes."""

from __future__ import annotations

import gc
import heapq
import statistics
from collections import Counter
from dataclasses import dataclass, field
from operator import attrgetter
from typing import Callable

from bench import memory
from bench.operations import (BUILD, COLLECT, COUNT, CREATE, GET_ATTR, GROUP_COUNT, OPERATIONS, QUERY,
                              REMOVE, SET_ATTR, TOP_K, WATCH_LEN, WATCH_SET, Operation)
from bench.predicates import Eq
from bench.peers import BY_KEY, PEERS, SUBJECT, NotApplicable, Peer, Unsupported
from bench.peers.listcomp import comprehension
from bench.timing import Timing, time_calls, time_each
from bench.workload import AGE, Workload


@dataclass
class Settings:
    sizes: list[int]
    repeat: int = 5
    build_repeat: int = 3
    min_time: float = 0.02
    seed: int = 8
    peers: list[str] = field(default_factory=lambda: [p.key for p in PEERS])
    ops: list[str] = field(default_factory=lambda: [op.key for op in OPERATIONS])
    memory: bool = True
    assignments: int = 1000     # objects assigned per sample of set_attr
    reads: int = 100_000        # objects read per sample of get_attr
    memory_timeout: float = 3600


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def skipped(reason: str) -> dict:
    return {"status": "skipped", "reason": reason}


def not_applicable(reason: str) -> dict:
    return {"status": "n/a", "reason": reason}


def failed(exc: BaseException) -> dict:
    return {"status": "error", "reason": f"{type(exc).__name__}: {exc}"}


def reference_positions(workload: Workload, operations) -> dict[str, list[int]]:
    """What each query must return, as sorted row positions, from the plain objects."""
    positions = workload.positions
    return {op.key: sorted(positions[id(o)] for o in comprehension(op.query)(workload.objects))
            for op in operations if op.query is not None}


def reference_answer(workload: Workload, op: Operation):
    """What a count, top-k or count per value must give, from the plain objects:
    a number, the row positions in order, or a dict from value to count."""
    objs = workload.objects if op.query is None else comprehension(op.query)(workload.objects)
    if op.kind == COUNT:
        return len(objs)
    if op.kind == TOP_K:
        positions = workload.positions
        return [positions[id(o)] for o in heapq.nsmallest(op.k, objs, key=attrgetter(op.attr))]
    return dict(Counter(getattr(o, op.attr) for o in objs))


def _read_loop(objs):
    for o in objs:
        o.age


def _empty_loop(objs):
    for o in objs:
        pass


class SizeRun:
    """The measurements of one size: each peer in turn, one operation at a time."""

    def __init__(self, settings: Settings, workload: Workload, log: Callable[[str], None]):
        self.settings = settings
        self.workload = workload
        self.log = log
        self.operations = [op for op in OPERATIONS if op.key in settings.ops]
        self.reference = reference_positions(workload, self.operations)

    def run_peer(self, peer_cls: type[Peer]) -> dict:
        reason = peer_cls.unavailable()
        if reason:
            self.log(f"  {peer_cls.label:<13} skipped: {reason}")
            return {op.key: skipped(reason) for op in self.operations}
        try:
            peer_cls.warm_up()
        except Exception:  # noqa: BLE001 - the operations report what fails
            pass
        peer = peer_cls(self.workload)
        try:
            peer.objects  # made once here; the create operation makes fresh sets
        except Exception as exc:  # noqa: BLE001 - reported, the other peers still run
            self.log(f"  {peer_cls.label:<13} error: cannot make its objects: {exc!r}")
            return {op.key: failed(exc) for op in self.operations}
        entries: dict[str, dict] = {}
        built, build_error = False, None
        try:
            for op in self.operations:
                if op.kind not in (CREATE, BUILD) and not built and build_error is None:
                    # The build operation may have been left out of the run.
                    build_error = self._build_untimed(peer)
                    built = build_error is None
                if op.kind not in (CREATE, BUILD) and build_error is not None:
                    entries[op.key] = skipped(f"build failed: {build_error}")
                else:
                    entries[op.key] = self._measure(peer, op)
                if op.kind == BUILD:
                    built = entries[op.key]["status"] in ("ok", "n/a")
                    build_error = None if built else entries[op.key]["reason"]
                self._log_entry(peer_cls, op, entries[op.key])
        finally:
            peer.close()
            del peer
            gc.collect()
        return entries

    @staticmethod
    def _build_untimed(peer: Peer) -> str | None:
        try:
            peer.build()
            return None
        except Exception as exc:  # noqa: BLE001 - reported, not raised
            return f"{type(exc).__name__}: {exc}"

    def _log_entry(self, peer_cls, op: Operation, entry: dict) -> None:
        head = f"  {peer_cls.label:<13} {op.key:<10}"
        if entry["status"] == "n/a":
            return
        if entry["status"] != "ok":
            self.log(f"{head} {entry['status']}: {entry['reason']}")
            return
        tail = ""
        if "count" in entry:
            tail = f"  ({entry['count']} objects)"
        if entry.get("matches_reference") is False:
            tail += "  WRONG RESULT"
        self.log(f"{head} {fmt_time(entry['median_s']):>10}{tail}")

    def _measure(self, peer: Peer, op: Operation) -> dict:
        s = self.settings
        try:
            if op.kind == CREATE:
                return time_each(peer.create_objects, s.build_repeat).as_dict() | {"status": "ok"}
            if op.kind == BUILD:
                if not peer.builds:
                    peer.build()
                    return not_applicable("queries the objects as they are")
                return time_each(peer.build, s.build_repeat).as_dict() | {"status": "ok"}
            if op.kind == QUERY:
                compiled = peer.compile(op.query)
                timing, found = time_calls(lambda: peer.run(compiled), s.repeat, s.min_time)
                entry = self._checked(peer, op, timing, found)
                if peer.key == SUBJECT:
                    # Where the time goes: the query alone, without the collect.
                    alone, _ = time_calls(lambda: peer.execute(compiled), s.repeat, s.min_time)
                    entry["query_only_s"] = alone.median
                return entry
            if op.kind == COLLECT:
                if not peer.separate_collect:
                    return not_applicable("its query returns the list of objects itself")
                result = peer.execute(peer.compile(op.query))
                timing, found = time_calls(lambda: peer.materialize(result), s.repeat, s.min_time)
                return self._checked(peer, op, timing, found)
            if op.kind in (COUNT, TOP_K, GROUP_COUNT):
                return self._answer(peer, op)
            if op.kind == REMOVE:
                return self._removals(peer)
            if op.kind == GET_ATTR:
                return self._attribute_reads(peer)
            if op.kind == SET_ATTR:
                return self._assignments(peer)
            if op.kind == WATCH_SET:
                return self._watched_assignments(peer)
            if op.kind == WATCH_LEN:
                return self._watch_length(peer, op)
        except NotApplicable as exc:
            return not_applicable(str(exc))
        except Unsupported as exc:
            return skipped(str(exc))
        except Exception as exc:  # noqa: BLE001 - one failing operation must not end the run
            return failed(exc)
        raise ValueError(f"unknown kind of operation: {op.kind}")

    def _checked(self, peer: Peer, op: Operation, timing, found: list) -> dict:
        entry = timing.as_dict() | {"status": "ok", "count": len(found)}
        entry["matches_reference"] = sorted(peer.positions_of(found)) == self.reference[op.key]
        return entry

    def _answer(self, peer: Peer, op: Operation) -> dict:
        """A count, top-k or count per value, the query included; the subject also
        reports the same work on a view made beforehand (extra fields)."""
        s = self.settings
        compiled = None if op.query is None else peer.compile(op.query)
        if op.kind == COUNT:
            call = lambda: peer.count(compiled)  # noqa: E731
        elif op.kind == TOP_K:
            call = lambda: peer.top_k(compiled, op.attr, op.k)  # noqa: E731
        else:
            call = lambda: peer.value_counts(compiled, op.attr)  # noqa: E731
        timing, answer = time_calls(call, s.repeat, s.min_time)
        entry = timing.as_dict() | {"status": "ok"}
        if op.kind == TOP_K:
            answer = peer.positions_of(answer)
        entry["matches_reference"] = answer == reference_answer(self.workload, op)
        if op.kind != GROUP_COUNT:
            entry["count"] = answer if op.kind == COUNT else len(answer)
        for name, extra in peer.answer_variants(op, compiled).items():
            figure, _ = time_calls(extra, s.repeat, s.min_time)
            entry[name] = figure.median
        return entry

    def _removals(self, peer: Peer) -> dict:
        """Per removal: the peer times taking the objects out, then puts them back
        untimed, so that every sample starts from the full structure."""
        n = len(self.workload.rows)
        count = min(self.settings.assignments, n)
        positions = list(range(0, n, max(n // count, 1)))[:count]
        samples = [peer.remove_timed(positions) / len(positions) for _ in range(max(1, self.settings.repeat))]
        return Timing(statistics.median(samples), min(samples), samples, 1).as_dict() | {
            "status": "ok", "per": "removal"}

    def _attribute_reads(self, peer: Peer) -> dict:
        objs = peer.readable_objects()[: self.settings.reads]
        if not objs:
            return skipped("no objects")
        s = self.settings
        reads, _ = time_calls(lambda: _read_loop(objs), s.repeat, s.min_time)
        empty, _ = time_calls(lambda: _empty_loop(objs), s.repeat, s.min_time)
        per_read = max(reads.median - empty.median, 0.0) / len(objs)
        return {"status": "ok", "median_s": per_read, "best_s": max(reads.best - empty.best, 0.0)
                / len(objs), "runs": len(reads.samples), "loops": reads.loops,
                "gross_s": reads.median / len(objs), "loop_s": empty.median / len(objs),
                "per": "read"}

    def _assignments(self, peer: Peer) -> dict:
        rows = self.workload.rows
        n = len(rows)
        count = min(self.settings.assignments, n)
        step = max(n // count, 1)
        positions = list(range(0, n, step))[:count]
        original = [rows[p][AGE] for p in positions]
        changed = [(a + 1) % 100 for a in original]
        state = {"changed": False}

        def assign():
            # Alternate so that every assignment really changes the value.
            state["changed"] = not state["changed"]
            peer.assign_age(positions, changed if state["changed"] else original)

        try:
            timing, _ = time_calls(assign, self.settings.repeat, self.settings.min_time)
        finally:
            if state["changed"]:
                peer.assign_age(positions, original)
        entry = timing.as_dict() | {"status": "ok", "per": "assignment"}
        entry["median_s"] /= len(positions)
        entry["best_s"] /= len(positions)
        entry["samples_s"] = [t / len(positions) for t in entry["samples_s"]]
        return entry


    def _with_watches(self, peer: Peer, queries) -> float:
        """An assignment's time while watches of the queries are open."""
        watches = [peer.open_watch(peer.compile(q)) for q in queries]
        try:
            return self._assignments(peer)["median_s"]
        finally:
            for w in watches:
                w.close()

    def _watched_assignments(self, peer: Peer) -> dict:
        """Assignments of age with W watches mentioning age (W = 0, 1, 10, 100),
        and with 100 watches that mention only another attribute."""
        entry = self._assignments(peer)
        entry["watches_0_s"] = entry["median_s"]
        for count in (1, 10, 100):
            entry[f"watches_{count}_s"] = self._with_watches(peer, [Eq("age", k) for k in range(count)])
        entry["other_attr_100_s"] = self._with_watches(peer, [Eq("city", f"city{k:02d}") for k in range(100)])
        return entry

    def _watch_length(self, peer: Peer, op: Operation) -> dict:
        """len() of a watch of the query, against running and collecting it."""
        s = self.settings
        compiled = peer.compile(op.query)
        watch = peer.open_watch(compiled)
        try:
            timing, count = time_calls(lambda: len(watch), s.repeat, s.min_time)
            collected, found = time_calls(lambda: len(peer.run(compiled)), s.repeat, s.min_time)
        finally:
            watch.close()
        return timing.as_dict() | {"status": "ok", "count": count, "query_collect_s": collected.median,
                                   "matches_reference": count == found == len(self.reference[op.key])}


def run(settings: Settings, log: Callable[[str], None] = print) -> tuple[dict, dict]:
    """Times every size; returns (results[n][peer][op], memory[n][peer][mode])."""
    results: dict[int, dict] = {}
    memory_figures: dict[int, dict] = {}
    peers = [BY_KEY[key] for key in settings.peers]
    for n in settings.sizes:
        log(f"== N = {n:,}")
        workload = Workload.generate(n, settings.seed)
        size_run = SizeRun(settings, workload, log)
        results[n] = {peer_cls.key: size_run.run_peer(peer_cls) for peer_cls in peers}
        del size_run, workload
        gc.collect()
        if settings.memory:
            memory_figures[n] = measure_memory(peers, n, settings, log)
    return results, memory_figures


def measure_memory(peers, n: int, settings: Settings, log) -> dict:
    figures: dict[str, dict] = {}
    for peer_cls in peers:
        reason = peer_cls.unavailable()
        if reason:
            figures[peer_cls.key] = {mode: skipped(reason) for mode in memory.MODES}
            log(f"  memory {peer_cls.label:<13} skipped: {reason}")
            continue
        figures[peer_cls.key] = {}
        for mode in memory.MODES:
            entry = memory.measure(peer_cls.key, n, settings.seed, mode, settings.memory_timeout)
            figures[peer_cls.key][mode] = entry
            head = f"  memory {peer_cls.label:<13} {mode:<11}"
            if entry["status"] == "ok":
                log(f"{head} objects {entry['objects_per_object']:8.1f} B/object,"
                    f" index {entry['index_per_object']:8.1f} B/object")
            else:
                log(f"{head} {entry['status']}: {entry['reason']}")
    return figures
