"""The report of a run: JSON, a Markdown table, the console summary."""

from __future__ import annotations

import datetime as _dt
import importlib.metadata
import json
import os
import platform
import sqlite3
import subprocess
from pathlib import Path

from bench.memory import MODES
from bench.operations import BY_KEY as OPS
from bench.peers import BY_KEY as PEERS
from bench.peers import SUBJECT
from bench.runner import fmt_time
from bench.targets import Verdict

PACKAGES = ("Tarnwick", "pandas", "numpy", "ducks", "matplotlib", "psutil")


def _read(path: str) -> str:
    try:
        return Path(path).read_text()
    except OSError:
        return ""


def machine_info() -> dict:
    cpu = next((line.split(":", 1)[1].strip() for line in _read("/proc/cpuinfo").splitlines()
                if line.startswith("model name")), platform.processor() or platform.machine())
    mem_kb = next((int(line.split()[1]) for line in _read("/proc/meminfo").splitlines()
                   if line.startswith("MemTotal:")), 0)
    versions = {}
    for name in PACKAGES:
        try:
            versions[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            versions[name] = None
    versions["sqlite"] = sqlite3.sqlite_version
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, cwd=Path(__file__).parent, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        commit = ""
    return {
        "cpu": cpu, "cores": os.cpu_count(), "memory_gib": round(mem_kb / 2**20, 1),
        "platform": platform.platform(), "python": platform.python_version(),
        "versions": versions, "commit": commit or None,
        "date": _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


def speedup(results_n: dict, op: str, peer: str, subject: str = SUBJECT) -> float | None:
    """The peer's time over the subject's for one operation (above 1: the subject is faster)."""
    mine = results_n.get(subject, {}).get(op, {})
    theirs = results_n.get(peer, {}).get(op, {})
    if mine.get("status") != "ok" or theirs.get("status") != "ok" or mine["median_s"] <= 0:
        return None
    return theirs["median_s"] / mine["median_s"]


def document(meta: dict, results: dict, memory: dict, verdicts: list[Verdict]) -> dict:
    return {
        "meta": meta,
        "sizes": sorted(results),
        "operations": {key: {"label": op.label, "kind": op.kind} for key, op in OPS.items()},
        "peers": {key: peer.label for key, peer in PEERS.items()},
        "results": {str(n): v for n, v in results.items()},
        "memory": {str(n): v for n, v in memory.items()},
        "ratios": {str(n): {op: {peer: speedup(results[n], op, peer) for peer in results[n]
                                 if peer != SUBJECT}
                            for op in OPS} for n in results},
        "targets": [v.as_dict() for v in verdicts],
    }


def write_json(path: Path, doc: dict) -> None:
    path.write_text(json.dumps(doc, indent=1, sort_keys=False) + "\n")


def _cell(entry: dict | None) -> str:
    if entry and entry.get("status") == "n/a":
        return ""
    if not entry or entry.get("status") != "ok":
        return "-"
    text = fmt_time(entry["median_s"])
    if entry.get("matches_reference") is False:
        text += " (wrong)"
    return text


def _ratio(value: float | None) -> str:
    if value is None:
        return "-"
    return f"{value:.3g}x"


def _peers_of(results_n: dict) -> list[str]:
    return [key for key in PEERS if key in results_n]


def _row(cells) -> str:
    return "| " + " | ".join(cells) + " |"


def markdown(doc: dict) -> str:
    meta = doc["meta"]
    m = meta["machine"]
    lines = [
        "# Tarnwick benchmark",
        "",
        f"Measured {m['date']} on {m['cpu']} ({m['cores']} cores, {m['memory_gib']} GiB),"
        f" {m['platform']}, Python {m['python']}, SQLite {m['versions'].get('sqlite')}"
        + (f", commit {m['commit']}" if m.get("commit") else "") + ".",
        f"Each time is the median of {meta['settings']['repeat']} runs"
        f" ({meta['settings']['build_repeat']} for builds and object creation); queries include"
        " collecting the matching objects into a list. A ratio is the peer's time over"
        " Tarnwick's: above 1, Tarnwick is faster.",
        "",
    ]
    for n_text, results_n in doc["results"].items():
        peers = _peers_of(results_n)
        others = [p for p in peers if p != SUBJECT]
        lines += [f"## N = {int(n_text):,}", ""]
        lines.append(_row(["operation", "objects"] + [PEERS[p].label for p in peers]))
        lines.append(_row(["---"] * (2 + len(peers))))
        for key, op in OPS.items():
            if not any(results_n[p].get(key, {}).get("status") in ("ok", "skipped", "error")
                       for p in peers):
                continue
            count = next((results_n[p][key].get("count") for p in peers
                          if results_n[p].get(key, {}).get("count") is not None), None)
            lines.append(_row([f"{key}: {op.label}", "" if count is None else f"{count:,}"]
                              + [_cell(results_n[p].get(key)) for p in peers]))
        if SUBJECT in peers and others:
            lines += ["", f"Tarnwick's speed-up at N = {int(n_text):,}:", ""]
            lines.append(_row(["operation"] + [f"vs {PEERS[p].label}" for p in others]))
            lines.append(_row(["---"] * (1 + len(others))))
            for key in OPS:
                ratios = doc["ratios"][n_text].get(key, {})
                if all(ratios.get(p) is None for p in others):
                    continue
                lines.append(_row([key] + [_ratio(ratios.get(p)) for p in others]))
        split = [(key, e) for key, e in results_n.get(SUBJECT, {}).items()
                 if e.get("status") == "ok" and "query_only_s" in e]
        if split:
            lines += ["", f"Where Tarnwick's time goes at N = {int(n_text):,}:", "",
                      _row(["operation", "query + collect", "query alone (view)",
                            "collect (difference)"]),
                      _row(["---"] * 4)]
            for key, e in split:
                rest = max(e["median_s"] - e["query_only_s"], 0.0)
                lines.append(_row([key, fmt_time(e["median_s"]), fmt_time(e["query_only_s"]),
                                   fmt_time(rest)]))
        watched = results_n.get(SUBJECT, {}).get("watch_set", {})
        if watched.get("status") == "ok" and "watches_1_s" in watched:
            lines += ["", f"One assignment with watches open at N = {int(n_text):,}:", "",
                      _row(["watches on the attribute", "0", "1", "10", "100",
                            "100 on another attribute"]),
                      _row(["---"] * 6),
                      _row(["time"] + [fmt_time(watched[f"watches_{w}_s"]) for w in (0, 1, 10, 100)]
                           + [fmt_time(watched["other_attr_100_s"])])]
        live = results_n.get(SUBJECT, {}).get("watch_len", {})
        if live.get("status") == "ok" and "query_collect_s" in live:
            lines += ["", f"len(watch) {fmt_time(live['median_s'])} against"
                      f" len(index.reduced_query(q).collect()) {fmt_time(live['query_collect_s'])}"
                      f" ({live['count']:,} objects)."]
        memory_n = doc["memory"].get(n_text)
        if memory_n:
            lines += ["", f"Memory per object at N = {int(n_text):,} (bytes; objects = making the"
                      " objects the peer holds, index = building its structure):", ""]
            lines.append(_row(["peer"] + [f"{what} ({mode})" for mode in MODES
                                          for what in ("objects", "index")]))
            lines.append(_row(["---"] * (1 + 2 * len(MODES))))
            for peer, modes in memory_n.items():
                cells = []
                for mode in MODES:
                    e = modes.get(mode, {})
                    ok = e.get("status") == "ok"
                    cells += [f"{e['objects_per_object']:.0f}" if ok else "-",
                              f"{e['index_per_object']:.0f}" if ok else "-"]
                lines.append(_row([PEERS[peer].label] + cells))
        lines.append("")
    if doc["targets"]:
        n = doc["targets"][0]["n"]
        lines += [f"## Targets (N = {n:,})", "", _row(["target", "ratio", "result"]),
                  _row(["---"] * 3)]
        for t in doc["targets"]:
            ratio = "-" if t["ratio"] is None else f"{t['ratio']:.4g}"
            result = t["status"] + (f" ({t['note']})" if t["note"] else "")
            lines.append(_row([t["target"], ratio, result]))
        lines.append("")
    notes = skipped_notes(doc["results"])
    if notes:
        lines += ["## Not measured", ""] + [f"- {note}" for note in notes] + [""]
    return "\n".join(lines)


def skipped_notes(results: dict) -> list[str]:
    """One line per peer and reason, listing the operations it did not run."""
    by_reason: dict[tuple[str, str], list[str]] = {}
    for results_n in results.values():
        for peer, entries in results_n.items():
            for op, entry in entries.items():
                if entry.get("status") in ("skipped", "error"):
                    ops = by_reason.setdefault((peer, f"{entry['status']}: {entry['reason']}"), [])
                    if op not in ops:
                        ops.append(op)
    return [f"{PEERS[peer].label}: {', '.join(ops)} - {reason}"
            for (peer, reason), ops in by_reason.items()]


def console_summary(doc: dict) -> str:
    lines = []
    for n_text, results_n in doc["results"].items():
        others = [p for p in _peers_of(results_n) if p != SUBJECT]
        if SUBJECT not in results_n or not others:
            continue
        lines.append(f"Tarnwick's speed-up at N = {int(n_text):,} (peer time / Tarnwick time):")
        lines.append(f"  {'operation':<10}" + "".join(f"{PEERS[p].label:>14}" for p in others))
        for key in OPS:
            ratios = doc["ratios"][n_text].get(key, {})
            if all(ratios.get(p) is None for p in others):
                continue
            lines.append(f"  {key:<10}" + "".join(f"{_ratio(ratios.get(p)):>14}" for p in others))
    if doc["targets"]:
        lines.append(f"Targets at N = {doc['targets'][0]['n']:,}:")
        for t in doc["targets"]:
            ratio = "n/a" if t["ratio"] is None else f"{t['ratio']:.4g}"
            note = f"  ({t['note']})" if t["note"] else ""
            lines.append(f"  {t['status']:<4}  {t['target']:<50} ratio {ratio}{note}")
    return "\n".join(lines)
