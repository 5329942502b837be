"""The goals Tarnwick is measured against, as ratios of one run.

A speed ratio is the peer's time over Tarnwick's (above 1: Tarnwick is
faster). The attribute-read ratio and the memory ratio are Tarnwick's figure
over the peer's (below the bound passes). Nothing here asserts: a goal is
reported as PASS or MISS with the measured ratio, or n/a with the reason.
"""

from __future__ import annotations

from dataclasses import dataclass

SPEEDUP = "speedup"      # peer time / Tarnwick time >= bound
AT_MOST = "at_most"      # Tarnwick figure / peer figure <= bound
FASTER = "faster"        # peer time / Tarnwick time > 1
UNDER = "under"          # Tarnwick time <= bound seconds


@dataclass(frozen=True)
class Target:
    op: str
    peer: str
    kind: str
    bound: float = 1.0
    metric: str = "time"  # or "memory_index_rss"
    # Figures of Tarnwick's own entry to compare instead of the two medians
    # (a view made beforehand against the same view through a collected
    # list), and another operation of Tarnwick's as the peer figure.
    mine_field: str = "median_s"
    theirs_field: str = "median_s"
    theirs_op: str | None = None
    text: str | None = None

    @property
    def label(self) -> str:
        if self.text:
            return self.text
        if self.kind == UNDER:
            return f"{self.op}: under {self.bound * 1e3:g} ms"
        if self.metric == "memory_index_rss":
            return f"index memory per object <= {self.peer} (RSS)"
        if self.kind == SPEEDUP:
            return f"{self.op}: >= {self.bound:g}x faster than {self.peer}"
        if self.kind == FASTER:
            return f"{self.op}: faster than {self.peer}"
        return f"{self.op}: <= {self.bound:g}x {self.peer}"


def _faster_than(op, *peers):
    return [Target(op, p, FASTER) for p in peers]


TARGETS: tuple[Target, ...] = tuple(
    [Target(op, "listcomp", SPEEDUP, 50) for op in ("eq_int", "eq_str", "eq_bool")]
    + [t for op in ("eq_int", "eq_str", "eq_bool")
       for t in _faster_than(op, "sqlite", "pandas", "ducks")]
    + [Target("range_10", "listcomp", SPEEDUP, 10)] + _faster_than("range_10", "sqlite")
    + [Target(op, "listcomp", SPEEDUP, 10) for op in ("prefix", "suffix", "substring")]
    + _faster_than("substring", "sqlite")
    + [Target("and3", "listcomp", SPEEDUP, 20)]
    + [Target("build", "sqlite", SPEEDUP, 1)]
    + [Target("get_attr", "listcomp", AT_MOST, 1.5)]
    + _faster_than("set_attr", "sqlite")
    + [Target("count", "tarnwick", SPEEDUP, 100, mine_field="view_s", theirs_field="view_collect_s",
              text="count: len(view) >= 100x faster than len(view.collect())")]
    + _faster_than("count", "sqlite", "pandas")
    + _faster_than("top10_view", "sqlite")
    + [Target("top10_view", "tarnwick", SPEEDUP, 20, mine_field="view_s", theirs_field="view_collect_s",
              text="top10_view: >= 20x faster than heapq.nsmallest over view.collect()")]
    + [Target("top10_all", "tarnwick", UNDER, 1e-3)]
    + _faster_than("value_counts", "pandas", "sqlite")
    + [Target("remove", "tarnwick", AT_MOST, 2, theirs_op="set_attr", text="remove: <= 2x an assignment (set_attr)")]
    + [Target("watch_set", "tarnwick", AT_MOST, 1.05, mine_field="other_attr_100_s", theirs_field="watches_0_s",
              text="watch_set: assignment with 100 watches on another attribute <= 1.05x with none"),
       Target("watch_len", "tarnwick", SPEEDUP, 100, theirs_field="query_collect_s",
              text="watch_len: len(watch) >= 100x faster than len(reduced_query(q).collect())")]
    + [Target("index_memory", "sqlite", AT_MOST, 1.0, metric="memory_index_rss")]
)

# The size the goals are stated for; a smaller run reports against its largest size.
TARGET_SIZE = 1_000_000


@dataclass
class Verdict:
    target: Target
    n: int
    ratio: float | None
    status: str        # "PASS", "MISS" or "n/a"
    note: str = ""

    def as_dict(self) -> dict:
        return {"target": self.target.label, "op": self.target.op, "peer": self.target.peer,
                "n": self.n, "ratio": self.ratio, "status": self.status, "note": self.note}


def _median(entry):
    if entry and entry.get("status") == "ok":
        return entry["median_s"]
    return None


def _figure(entry, name):
    if name == "median_s":
        return _median(entry)
    if entry and entry.get("status") == "ok":
        return entry.get(name)
    return None


def _why_missing(entry, who):
    if not entry:
        return f"{who}: not measured"
    return f"{who}: {entry.get('status', 'missing')} ({entry.get('reason', '')})"


def judge(target: Target, size_results: dict, size_memory: dict, n: int,
          subject: str = "tarnwick") -> Verdict:
    """The verdict of one goal from the figures of one size."""
    if target.metric == "memory_index_rss":
        mine = size_memory.get(subject, {}).get("rss", {})
        theirs = size_memory.get(target.peer, {}).get("rss", {})
        if mine.get("status") != "ok" or theirs.get("status") != "ok":
            bad = mine if mine.get("status") != "ok" else theirs
            who = subject if bad is mine else target.peer
            return Verdict(target, n, None, "n/a", _why_missing(bad, who))
        if theirs["index_bytes"] <= 0:
            return Verdict(target, n, None, "n/a", f"{target.peer}: no measurable index memory")
        ratio = mine["index_bytes"] / theirs["index_bytes"]
        return Verdict(target, n, ratio, "PASS" if ratio <= target.bound else "MISS")
    mine_entry = size_results.get(subject, {}).get(target.op)
    theirs_entry = size_results.get(target.peer, {}).get(target.theirs_op or target.op)
    mine, theirs = _figure(mine_entry, target.mine_field), _figure(theirs_entry, target.theirs_field)
    if mine is None:
        return Verdict(target, n, None, "n/a", _why_missing(mine_entry, subject))
    if theirs is None:
        return Verdict(target, n, None, "n/a", _why_missing(theirs_entry, target.peer))
    wrong = [who for who, e in ((subject, mine_entry), (target.peer, theirs_entry))
             if e.get("matches_reference") is False]
    note = ("wrong result from " + ", ".join(wrong)) if wrong else ""
    if target.kind == UNDER:
        return Verdict(target, n, mine, "PASS" if mine <= target.bound and not wrong else "MISS",
                       note or "figure: seconds")
    if target.kind == AT_MOST:
        ratio = mine / theirs
        passed = ratio <= target.bound
    else:
        ratio = theirs / mine
        passed = ratio > 1 if target.kind == FASTER else ratio >= target.bound
    status = "PASS" if passed and not wrong else "MISS"
    return Verdict(target, n, ratio, status, note)


def judge_all(results: dict, memory: dict, subject: str = "tarnwick") -> list[Verdict]:
    """Judges every goal at 1M objects, or at the largest size measured."""
    sizes = sorted(int(n) for n in results)
    if not sizes:
        return []
    n = TARGET_SIZE if TARGET_SIZE in sizes else sizes[-1]
    return [judge(t, results.get(n, {}), memory.get(n, {}), n, subject) for t in TARGETS]
