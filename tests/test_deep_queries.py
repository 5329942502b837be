"""Query trees as deep as the factories allow, used from a thread whose stack
is 256 KiB: printing, copying, evaluating, collecting garbage and releasing
them never crash, and on a stack too small for an evaluation it raises
RecursionError instead. Each case runs in its own interpreter, so that a crash
fails the test instead of the run."""

import os

import pytest

from index_support import run_isolated

SCRIPT = """
    import gc, threading
    from Tarnwick import Index, Indexable, PyQueryExpr as Q

    class P(Indexable):
        pass

    kid = P(c=1)
    objs = [P(a=i, tags=[i], kid=kid) for i in range(6)]
    idx = Index()
    idx.add_object_many(objs)

    def build(depth):
        q = Q.eq("a", 1)
        for i in range(depth - 1):
            q = {{
                "and": lambda: Q.and_(q, Q.eq("a", 1)),
                "or": lambda: Q.or_(Q.eq("kid.c", 2), q),
                "not": lambda: Q.not_(q),
                "mixed": lambda: [Q.not_(q), Q.or_(q, Q.in_("tags", [1, 2])), Q.and_(Q.bt("a", 0, 5), q)][i % 3],
            }}["{shape}"]()
        return q

    query = build(999)  # one level below the limit, so that a copy can add one
    expected = idx.reduced_query(query).collect()  # on the main thread's large stack

    def release():
        global query
        del query

    uses = {{
        "repr": lambda: repr(query).count("(") >= 999 or 1 / 0,
        "evaluate": lambda: idx.reduced_query(query).collect() == expected or 1 / 0,
        "evaluate_view": lambda: idx.reduced(tags=1).reduced_query(query).collect() == [o for o in expected
                                                                                       if o is objs[1]] or 1 / 0,
        "copy": lambda: Q.or_(query),
        "gc": gc.collect,
        "release": release,
    }}
    outcome = []

    def use(name):
        try:
            uses[name]()
            outcome.append(name)
        except RecursionError:
            outcome.append("RecursionError")

    threading.stack_size({stack_kib} * 1024)
    for name in {names}:
        t = threading.Thread(target=use, args=(name,))
        t.start()
        t.join()
    print(" ".join(outcome))
"""

ALL_USES = ["repr", "evaluate", "evaluate_view", "copy", "gc", "release"]


@pytest.mark.parametrize("shape", ["and", "or", "not", "mixed"])
def test_deep_query_on_a_256_kib_stack(shape):
    code, out, err = run_isolated(SCRIPT.format(shape=shape, stack_kib=256, names=ALL_USES), timeout=120)
    expected = ALL_USES
    if os.environ.get("TARNWICK_SANITIZED"):
        # Sanitizer frames are several times larger: 256 KiB no longer holds
        # the recursive walks, which must then refuse instead of crashing.
        expected = [u if u in ("repr", "gc", "release") else "RecursionError" for u in ALL_USES]
    assert (code, out.split()) == (0, expected), err[-2000:]


def test_too_deep_for_the_stack_raises():
    uses = ["evaluate", "evaluate_view", "copy"]
    code, out, err = run_isolated(SCRIPT.format(shape="and", stack_kib=48, names=uses), timeout=120)
    assert (code, out.split()) == (0, ["RecursionError"] * 3), err[-2000:]
