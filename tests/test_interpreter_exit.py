"""Daemon threads still inside the engine when the interpreter exits: CPython
ends them as they try to take the GIL back, and the process must still exit
normally. Each case runs in a subprocess so that an abort fails the test
instead of killing the test run."""

import pytest

from index_support import run_isolated

SCRIPT = """
    import threading, time
    from Tarnwick import Index, Indexable, PyQueryExpr as Q

    class P(Indexable):
        pass

    objs = [P(n=i, tags=[i, str(i), (i, i + 1)], name=f"n{{i}}", kid=P(k=i % 7)) for i in range(1500)]
    idx = Index()
    idx.add_object_many(objs)

    def query():
        while True:
            idx.reduced_query(Q.or_(Q.bt("n", 5, 900), Q.eq("tags", "3"), Q.eq("kid.k", 2))).collect()

    def add_object_many():
        while True:
            Index().add_object_many(objs)

    def assign():
        k = 0
        while True:
            for o in objs[:300]:
                o.tags = [k, str(k)]
                o.kid = P(k=k)
            k += 1

    def union_with():
        while True:
            Index().union_with(idx)

    for _ in range(3):
        threading.Thread(target={op}, daemon=True).start()
    time.sleep(0.3)
    print("main done", flush=True)
"""


@pytest.mark.parametrize("op", ["query", "add_object_many", "assign", "union_with"])
def test_exit_with_daemon_threads_inside_the_engine(op):
    # Several exits, each catching the threads at some other point of the call.
    for _ in range(3):
        code, out, err = run_isolated(SCRIPT.format(op=op), timeout=120)
        # UBSan reports the handler that lets the thread's forced unwind
        # through as binding a reference to null (that unwind has no object).
        err = "".join(line for line in err.splitlines(True) if "type 'const struct ThreadExit'" not in line)
        assert (code, out, err) == (0, "main done\n", "")


FINALIZER_SCRIPT = """
    import threading, time, weakref
    from Tarnwick import Index, Indexable, PyQueryExpr as Q

    class P(Indexable):
        pass

    class Slow:
        # Gives the GIL up inside the finalizer: at exit, the thread is ended
        # as it takes it back, inside whatever released the reference.
        def __del__(self):
            time.sleep(0.0005)

    class Plain:
        pass

    objs = [P(n=i, payload=None) for i in range(50)]
    idx = Index()
    idx.add_object_many(objs)
    refs = []

    def replaced_value():
        while True:
            for o in objs:
                o.payload = Slow()

    def weakref_callback():
        while True:
            for o in objs:
                p = Plain()
                refs.append(weakref.ref(p, lambda r: time.sleep(0.0005)))
                o.payload = p
                del p
            del refs[:-100]

    def dropped_index():
        while True:
            Index().add_object_many([P(n=i, payload=Slow()) for i in range(20)])

    def dropped_view():
        while True:
            other = Index()
            other.add_object_many([P(n=i, payload=Slow()) for i in range(20)])
            view = other.reduced_query(Q.ge("n", 0))
            del other
            view.collect()

    def dropped_query():
        while True:
            idx.reduced_query(Q.eq("payload", Slow())).collect()

    for _ in range(3):
        threading.Thread(target={op}, daemon=True).start()
    time.sleep(0.3)
    print("main done", flush=True)
"""


@pytest.mark.parametrize("op", ["replaced_value", "weakref_callback", "dropped_index", "dropped_view", "dropped_query"])
def test_exit_while_a_daemon_thread_runs_a_finalizer_from_a_call(op):
    # The threads spend most of their time in finalizers that the calls run
    # by dropping the last reference to an object.
    for _ in range(3):
        code, out, err = run_isolated(FINALIZER_SCRIPT.format(op=op), timeout=120)
        err = "".join(line for line in err.splitlines(True) if "type 'const struct ThreadExit'" not in line)
        assert (code, out, err) == (0, "main done\n", "")
