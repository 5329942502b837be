"""Daemon threads still inside the engine when the interpreter exits: CPython
ends them as they try to take the GIL back, and the process must still exit
normally. Each case runs in a subprocess so that an abort fails the test
instead of killing the test run."""

import os
import subprocess
import sys
import textwrap

import pytest

# The sanitized run sets the sanitizers' options for the whole suite; the
# children also run with the undefined-behaviour checker's defaults, which is
# how a program that loads the module would run.
ENVIRONMENTS = [pytest.param(None, id="inherited")]
if os.environ.get("TARNWICK_SANITIZED"):
    ENVIRONMENTS.append(pytest.param("UBSAN_OPTIONS", id="ubsan-defaults"))


def run_exit_script(code, unset):
    env = {k: v for k, v in os.environ.items() if k != unset}
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, env=env)
    return done.returncode, done.stdout, done.stderr

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


@pytest.mark.parametrize("unset", ENVIRONMENTS)
@pytest.mark.parametrize("op", ["query", "add_object_many", "assign", "union_with"])
def test_exit_with_daemon_threads_inside_the_engine(op, unset):
    # Several exits, each catching the threads at some other point of the call.
    for _ in range(3):
        assert run_exit_script(SCRIPT.format(op=op), unset) == (0, "main done\n", "")


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


@pytest.mark.parametrize("unset", ENVIRONMENTS)
@pytest.mark.parametrize("op", ["replaced_value", "weakref_callback", "dropped_index", "dropped_view", "dropped_query"])
def test_exit_while_a_daemon_thread_runs_a_finalizer_from_a_call(op, unset):
    # The threads spend most of their time in finalizers that the calls run
    # by dropping the last reference to an object.
    for _ in range(3):
        assert run_exit_script(FINALIZER_SCRIPT.format(op=op), unset) == (0, "main done\n", "")
