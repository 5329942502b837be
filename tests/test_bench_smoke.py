"""The benchmark suite: its quick mode runs end to end, and every peer answers the
same queries with the same objects (a benchmark of wrong answers measures nothing).

No timing is asserted anywhere here.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from bench import report, runner  # noqa: E402
from bench.operations import BY_KEY as OPS  # noqa: E402
from bench.operations import COLLECT, COUNT, GROUP_COUNT, OPERATIONS, QUERY, TOP_K  # noqa: E402
from bench.peers import BY_KEY, PEERS, Unsupported  # noqa: E402
from bench.predicates import (And, Between, Contains, EndsWith, Eq, Ge, Has, In, Lt,  # noqa: E402
                              Not, Or, StartsWith, matches)
from bench.targets import (AT_MOST, FASTER, SPEEDUP, TARGET_SIZE, TARGETS, Target,  # noqa: E402
                           judge, judge_all)
from bench.workload import ACTIVE, NAME, SCORE, TAGS, Workload  # noqa: E402

SANITIZED = os.environ.get("TARNWICK_SANITIZED") == "1"

# Trees beyond the benchmark's own queries, each reaching a translation path
# that the operations alone leave out: empty and nested connectives, numbers
# compared as ranges on an int column, and LIKE's wildcards taken literally.
EXTRA_QUERIES = [
    Not(And((Eq("age", 30), Lt("score", 0.5)))),
    Or((Eq("address.zip", "Z0001"), Has("tags", "tag01"), Eq("active", False))),
    And((In("age", (1, 2, 3)), Not(Eq("city", "city01")))),
    Between("age", 10, 12),
    Ge("age", 98),
    In("city", ()),
    Contains("name", "_"),
    StartsWith("name", "%"),
    EndsWith("name", "a"),
    And((StartsWith("name", "A"), EndsWith("name", "e"))),
    And(()),
    Or(()),
    # Two bounds of one kind on one attribute must not collapse into the looser one.
    And((Ge("score", 0.5), Ge("score", 0.2))),
]

QUERIES = [op.query for op in OPERATIONS if op.kind in (QUERY, COLLECT)] + EXTRA_QUERIES


@pytest.fixture(scope="module")
def workload():
    return Workload.generate(600, seed=3)


class TestWorkload:
    def test_same_seed_same_rows(self):
        assert Workload.generate(50, seed=5).rows == Workload.generate(50, seed=5).rows
        assert Workload.generate(50, seed=5).rows != Workload.generate(50, seed=6).rows

    def test_values_have_the_advertised_shape(self):
        rows = Workload.generate(20_000, seed=1).rows
        assert {r[0] for r in rows} == set(range(100))
        assert len({r[2] for r in rows}) == 100
        names = [r[NAME] for r in rows]
        assert all(8 <= len(n) <= 20 and n[0].isupper() and n[1:].islower() for n in names)
        assert all(1 <= len(r[TAGS]) <= 3 and len(set(r[TAGS])) == len(r[TAGS]) for r in rows)
        # Equality on the bool must stay near 1% for the equality goals to mean anything.
        share = sum(r[ACTIVE] for r in rows) / len(rows)
        assert 0.005 < share < 0.015

    def test_plain_objects_do_not_share_tag_lists_with_rows(self, workload):
        obj = workload.objects[0]
        obj.tags.append("extra")
        try:
            assert "extra" not in workload.rows[0][TAGS]
        finally:
            obj.tags.pop()


@pytest.mark.parametrize("peer_key", [p.key for p in PEERS])
def test_peer_returns_the_reference_objects(peer_key, workload):
    # Bounds equal to a stored score tell inclusive ends from exclusive ones.
    score = workload.rows[7][SCORE]
    bounds = [Between("score", score, score), Lt("score", score), Ge("score", score)]
    peer_cls = BY_KEY[peer_key]
    reason = peer_cls.unavailable()
    if reason:
        pytest.skip(reason)
    peer = peer_cls(workload)
    peer.build()
    checked = 0
    try:
        for query in QUERIES + bounds:
            try:
                compiled = peer.compile(query)
            except Unsupported:
                continue
            expected = sorted(i for i, o in enumerate(workload.objects) if matches(query, o))
            found = peer.run(compiled)
            assert sorted(peer.positions_of(found)) == expected, query
            if peer.separate_collect:
                result = peer.execute(compiled)
                assert peer.materialize(result) == peer.materialize(result), query
            checked += 1
    finally:
        peer.close()
    if checked == 0:
        pytest.skip(f"{peer_key} runs none of the queries yet")


@pytest.mark.parametrize("peer_key", [p.key for p in PEERS])
def test_age_assignment_is_undone_and_seen_by_queries(peer_key, workload):
    peer_cls = BY_KEY[peer_key]
    reason = peer_cls.unavailable()
    if reason:
        pytest.skip(reason)
    peer = peer_cls(workload)
    peer.build()
    # Three calls in all (a warm-up and two samples): the last one leaves the new values.
    settings = runner.Settings(sizes=[workload.n], repeat=2, min_time=0.0, assignments=7)
    size_run = runner.SizeRun(settings, workload, log=lambda line: None)
    try:
        try:
            compiled = peer.compile(Eq("age", 30))
        except Unsupported:
            compiled = None
        entry = size_run._measure(peer, OPS["set_attr"])
        if entry["status"] == "skipped":
            pytest.skip(entry["reason"])
        assert entry["status"] == "ok", entry
        # Every value is back, in the objects and in the peer's own index.
        assert [o.age for o in peer.objects] == [r[0] for r in workload.rows]
        if compiled is not None:
            expected = sorted(i for i, r in enumerate(workload.rows) if r[0] == 30)
            assert sorted(peer.positions_of(peer.run(compiled))) == expected
    finally:
        peer.close()


@pytest.mark.parametrize("peer_key", [p.key for p in PEERS])
def test_counts_top_k_and_counts_per_value_match_the_reference(peer_key, workload):
    peer_cls = BY_KEY[peer_key]
    reason = peer_cls.unavailable()
    if reason:
        pytest.skip(reason)
    peer = peer_cls(workload)
    peer.build()
    settings = runner.Settings(sizes=[workload.n], repeat=1, min_time=0.0, assignments=5)
    size_run = runner.SizeRun(settings, workload, log=lambda line: None)
    try:
        entries = {op.key: size_run._measure(peer, op) for op in OPERATIONS if op.kind in (COUNT, TOP_K, GROUP_COUNT)}
        removal = size_run._measure(peer, OPS["remove"])
    finally:
        peer.close()
    measured = {k: e for k, e in entries.items() if e["status"] == "ok"}
    if not measured:
        pytest.skip(f"{peer_key} has none of them")
    assert all(e["matches_reference"] for e in measured.values()), measured
    if peer_key == "tarnwick":
        assert set(measured) == set(entries)
        assert all(e["view_s"] > 0 for e in measured.values())
        assert removal["status"] == "ok" and removal["per"] == "removal"


def test_removal_leaves_the_index_as_it_was(workload):
    peer = BY_KEY["tarnwick"](workload)
    peer.build()
    try:
        peer.remove_timed([0, 3, 5])
        assert len(peer.index) == workload.n
        expected = sorted(i for i, r in enumerate(workload.rows) if r[0] == 30)
        assert sorted(peer.positions_of(peer.run(peer.compile(Eq("age", 30))))) == expected
    finally:
        peer.close()


def _entry(seconds, **extra):
    return {"status": "ok", "median_s": seconds} | extra


class TestTargets:
    def test_speedup_needs_the_full_factor(self):
        t = Target("eq_int", "listcomp", SPEEDUP, 50)
        results = {"tarnwick": {"eq_int": _entry(1.0)}, "listcomp": {"eq_int": _entry(49.0)}}
        assert judge(t, results, {}, 10).status == "MISS"
        results["listcomp"]["eq_int"] = _entry(50.0)
        verdict = judge(t, results, {}, 10)
        assert (verdict.status, verdict.ratio) == ("PASS", 50.0)

    def test_faster_is_strict_and_at_most_is_inclusive(self):
        faster = Target("set_attr", "sqlite", FASTER)
        results = {"tarnwick": {"set_attr": _entry(2.0), "get_attr": _entry(3.0)},
                   "sqlite": {"set_attr": _entry(2.0)}, "listcomp": {"get_attr": _entry(2.0)}}
        assert judge(faster, results, {}, 1).status == "MISS"
        read = judge(Target("get_attr", "listcomp", AT_MOST, 1.5), results, {}, 1)
        assert (read.status, read.ratio) == ("PASS", 1.5)

    def test_wrong_results_never_pass(self):
        t = Target("eq_int", "sqlite", FASTER)
        results = {"tarnwick": {"eq_int": _entry(1.0, matches_reference=False)},
                   "sqlite": {"eq_int": _entry(9.0, matches_reference=True)}}
        verdict = judge(t, results, {}, 1)
        assert verdict.status == "MISS" and "tarnwick" in verdict.note

    def test_missing_figures_say_why(self):
        t = Target("eq_int", "ducks", FASTER)
        results = {"tarnwick": {"eq_int": _entry(1.0)},
                   "ducks": {"eq_int": {"status": "skipped", "reason": "ducks is not installed"}}}
        verdict = judge(t, results, {}, 1)
        assert verdict.status == "n/a" and "not installed" in verdict.note

    def test_own_figures_other_operations_and_absolute_bounds(self):
        own = next(t for t in TARGETS if t.op == "count" and t.mine_field == "view_s")
        entry = _entry(1e-3, view_s=1e-6, view_collect_s=2e-4)
        assert judge(own, {"tarnwick": {"count": entry}}, {}, 10).status == "PASS"
        entry["view_s"] = 3e-6
        verdict = judge(own, {"tarnwick": {"count": entry}}, {}, 10)
        assert verdict.status == "MISS" and verdict.ratio == pytest.approx(200 / 3)
        removal = next(t for t in TARGETS if t.op == "remove")
        results = {"tarnwick": {"remove": _entry(3e-6), "set_attr": _entry(2e-6)}}
        assert judge(removal, results, {}, 10).status == "PASS"
        results["tarnwick"]["remove"] = _entry(5e-6)
        assert judge(removal, results, {}, 10).status == "MISS"
        under = next(t for t in TARGETS if t.op == "top10_all")
        assert judge(under, {"tarnwick": {"top10_all": _entry(9e-4)}}, {}, 10).status == "PASS"
        assert judge(under, {"tarnwick": {"top10_all": _entry(2e-3)}}, {}, 10).status == "MISS"

    def test_memory_compares_index_bytes_by_rss(self):
        t = next(t for t in TARGETS if t.metric == "memory_index_rss")
        memory = {"tarnwick": {"rss": {"status": "ok", "index_bytes": 300}},
                  "sqlite": {"rss": {"status": "ok", "index_bytes": 400}}}
        verdict = judge(t, {}, memory, 1)
        assert (verdict.status, verdict.ratio) == ("PASS", 0.75)
        memory["tarnwick"]["rss"]["index_bytes"] = 500
        assert judge(t, {}, memory, 1).status == "MISS"

    def test_goals_are_judged_at_one_million_when_measured(self):
        results = {10_000: {}, TARGET_SIZE: {}, 10 * TARGET_SIZE: {}}
        assert {v.n for v in judge_all(results, {})} == {TARGET_SIZE}
        assert {v.n for v in judge_all({10: {}, 20: {}}, {})} == {20}


def test_report_ratios_and_notes():
    results = {100: {
        "tarnwick": {"eq_int": _entry(0.5), "collect": {"status": "skipped", "reason": "not yet"},
                     "eq_str": _entry(0.001, matches_reference=False)},
        "listcomp": {"eq_int": _entry(2.0), "collect": {"status": "n/a", "reason": "same list"},
                     "eq_str": _entry(0.002, matches_reference=True)},
    }}
    meta = {"machine": report.machine_info(),
            "settings": {"repeat": 3, "build_repeat": 2}}
    doc = report.document(meta, results, {}, judge_all(results, {}))
    assert doc["ratios"]["100"]["eq_int"]["listcomp"] == 4.0
    text = report.markdown(doc)
    assert "| eq_int | 4x |" in text
    assert "1 ms (wrong)" in text
    notes = report.skipped_notes(doc["results"])
    assert notes == ["Tarnwick: collect - skipped: not yet"]
    json.dumps(doc)


def test_quick_run_writes_every_report(tmp_path):
    cmd = [sys.executable, str(ROOT / "bench" / "run.py"), "--quick", "--sizes", "300",
           "--repeat", "1", "--out", str(tmp_path)]
    if SANITIZED:
        # The sanitizer run is about Tarnwick; the heavy peers and the chart
        # (minutes of matplotlib on the sanitizer's allocator) add nothing there.
        cmd += ["--peers", "tarnwick,listcomp,sqlite", "--no-chart"]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=900, cwd=tmp_path)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert "Targets at N = 300" in done.stdout

    doc = json.loads((tmp_path / "results.json").read_text())
    assert {"meta", "sizes", "operations", "peers", "results", "memory", "ratios",
            "targets"} <= set(doc)
    assert doc["sizes"] == [300]
    results = doc["results"]["300"]
    for peer, entries in results.items():
        assert set(entries) == {op.key for op in OPERATIONS}, peer
        for op, entry in entries.items():
            assert entry["status"] in ("ok", "skipped", "n/a", "error"), (peer, op)
            if entry["status"] != "ok":
                assert entry["reason"], (peer, op)
            elif "matches_reference" in entry and peer != "tarnwick":
                assert entry["matches_reference"], (peer, op)
    assert all(e["status"] in ("ok", "n/a") for e in results["listcomp"].values())
    for peer, modes in doc["memory"]["300"].items():
        assert set(modes) == {"rss", "tracemalloc"}, peer
    assert doc["memory"]["300"]["sqlite"]["rss"]["status"] == "ok"
    assert len(doc["targets"]) == len(TARGETS)
    assert {t["status"] for t in doc["targets"]} <= {"PASS", "MISS", "n/a"}
    text = (tmp_path / "results.md").read_text()
    assert "## N = 300" in text and "## Targets (N = 300)" in text
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "chart skipped: matplotlib" in done.stdout
    else:
        if SANITIZED:
            assert "chart skipped: --no-chart" in done.stdout
        else:
            assert (tmp_path / "query_time.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    skipped = [e for entries in results.values() for e in entries.values()
               if e["status"] == "skipped"]
    if skipped:
        assert "skipped: " in done.stdout

    # The reports can be drawn again from the JSON alone, identically.
    again = tmp_path / "again"
    redo = subprocess.run([sys.executable, str(ROOT / "bench" / "run.py"), "--from-json",
                           str(tmp_path / "results.json"), "--out", str(again)],
                          capture_output=True, text=True, timeout=300)
    assert redo.returncode == 0, redo.stderr[-3000:]
    assert (again / "results.md").read_text() == text
    assert json.loads((again / "results.json").read_text()) == doc


def stub_peer(fail_build=False, fail_query=False, requires=()):
    """The baseline peer, made to fail in chosen places, to see the runner carry on."""
    from bench.peers.listcomp import ListComprehension

    class Stub(ListComprehension):
        label = "stub"
        builds = True

        def build(self):
            if fail_build:
                raise RuntimeError("no room")

        def run(self, compiled):
            if fail_query:
                raise ValueError("bad query")
            return super().run(compiled)

    Stub.requires = requires
    return Stub


class TestRunner:
    def _run(self, peer_cls, workload):
        settings = runner.Settings(sizes=[workload.n], repeat=1, min_time=0.0, assignments=5,
                                   reads=50, ops=["build", "eq_int", "set_attr"])
        return runner.SizeRun(settings, workload, log=lambda line: None).run_peer(peer_cls)

    def test_a_failing_query_is_recorded_and_the_rest_still_runs(self, workload):
        entries = self._run(stub_peer(fail_query=True), workload)
        assert entries["eq_int"]["status"] == "error"
        assert "bad query" in entries["eq_int"]["reason"]
        assert entries["set_attr"]["status"] == "ok"

    def test_a_failed_build_skips_what_depends_on_it(self, workload):
        entries = self._run(stub_peer(fail_build=True), workload)
        assert entries["build"]["status"] == "error"
        assert entries["eq_int"]["status"] == "skipped"
        assert "no room" in entries["eq_int"]["reason"]

    def test_a_missing_package_skips_every_operation(self, workload):
        entries = self._run(stub_peer(requires=("no_such_module_for_the_bench",)), workload)
        assert {e["status"] for e in entries.values()} == {"skipped"}
        assert "no_such_module_for_the_bench" in entries["build"]["reason"]

    def test_wrong_results_are_flagged(self, workload):
        from bench.peers.listcomp import ListComprehension

        class OffByOne(ListComprehension):
            def run(self, compiled):
                return super().run(compiled)[1:]

        settings = runner.Settings(sizes=[workload.n], repeat=1, min_time=0.0, ops=["eq_int"])
        entries = runner.SizeRun(settings, workload, log=lambda line: None).run_peer(OffByOne)
        assert entries["eq_int"]["matches_reference"] is False


def test_collector_is_back_on_after_a_failing_call():
    import gc

    from bench.timing import time_calls

    def boom():
        raise KeyError("x")

    assert gc.isenabled()
    with pytest.raises(KeyError):
        time_calls(boom, repeat=2, min_time=0.0)
    assert gc.isenabled()


class TestMemoryProbe:
    def test_a_probe_that_cannot_start_reports_why(self):
        from bench import memory

        entry = memory.measure("no-such-peer", 10, 1, "rss", timeout=120)
        assert entry["status"] == "error" and "exit" in entry["reason"]

    def test_a_probe_counts_the_structure_apart_from_the_objects(self):
        from bench import memory

        import tracemalloc

        entry = memory.probe("dictsets", 3000, 1, "tracemalloc")
        assert entry["status"] == "ok"
        # Tracing left on would slow every later allocation of this process.
        assert not tracemalloc.is_tracing()
        # Plain objects and the sets of the hand-written index both live in Python's heap.
        assert entry["objects_per_object"] > 100 and entry["index_per_object"] > 50


class TestCommandLine:
    def test_sizes_and_the_huge_flag(self):
        from bench import run

        s = run.settings_from(run.parse_args(["--sizes", "300,1_000", "--huge"]))
        assert s.sizes == [300, 1000, run.HUGE]
        quick = run.settings_from(run.parse_args(["--quick"]))
        assert quick.sizes == run.QUICK_SIZES and quick.repeat == 3

    @pytest.mark.parametrize("argv", [["--sizes", "10,x"], ["--sizes", "0"],
                                      ["--peers", "tarnwick,oracle"], ["--ops", "eq_float"]])
    def test_bad_arguments_are_refused(self, argv, capsys):
        from bench import run

        with pytest.raises(SystemExit):
            run.parse_args(argv)


def test_ducks_scenario_peers_agree_with_the_comprehension(tmp_path):
    from bench import ducks_scenario
    assert ducks_scenario.main(["--size", "3000", "--repeat", "1", "--out", str(tmp_path),
                                "--peers", "tarnwick,tarnwick_expr,sqlite,listcomp"]) == 0
    doc = json.loads((tmp_path / "ducks.json").read_text())
    assert {key: f["status"] for key, f in doc["figures"].items()} == dict.fromkeys(
        ["tarnwick", "tarnwick_expr", "sqlite", "listcomp"], "ok")
    assert "ducks workload: 3,000 objects" in (tmp_path / "ducks.md").read_text()


def test_scaling_runs_each_size_in_its_own_process(tmp_path):
    cmd = [sys.executable, str(ROOT / "bench" / "scaling.py"), "--sizes", "400,200", "--repeat", "1",
           "--out", str(tmp_path)]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    doc = json.loads((tmp_path / "scaling.json").read_text())
    assert [row["n"] for row in doc["rows"]] == [200, 400]
    for row in doc["rows"]:
        assert row["status"] == "ok", row
        assert all(q["same"] for q in row["queries"].values()), row
    assert "| 400 |" in (tmp_path / "scaling.md").read_text()
