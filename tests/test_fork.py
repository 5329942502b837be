"""An index stays usable in a child forked while other threads use it.

A child inherits every lock as it was at the fork, held or not, but none of
the threads that held them: the fork must wait until no thread is inside the
engine. Each child works on the inherited index under an alarm, so a hang
fails as a killed child instead of hanging the suite."""

import os
import signal
import threading
import time
import warnings

import pytest

from Tarnwick import Index, PyQueryExpr as Q
from index_support import Item, run_threads

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")

FORK_SECONDS = 4.0
CHILD_SECONDS = 20


def person(i):
    p = Item()
    p.n = i % 10
    p.name = f"p{i}"
    p.tags = [i % 3, "t"]
    return p


def child_work(index, members):
    """Adds, assigns, reduces and queries; the exit status says whether every
    answer was right."""
    signal.alarm(CHILD_SECONDS)
    newcomer = person(3)
    index.add_object(newcomer)
    index.add_object_many([person(i) for i in range(50)])
    for p in members[:20]:
        p.n = 3
    newcomer.tags = [3]
    found = index.reduced_query(Q.eq("n", 3)).collect()
    ok = newcomer in found and all(p in found for p in members[:20])
    index.reduce(n=3)
    ok = ok and all(p.n == 3 for p in index.collect())
    return ok


def wait_for(pid, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return None


def fork_child(work):
    with warnings.catch_warnings():
        # Python 3.12+ warns about forking a process with threads; that is
        # the very case under test.
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if work() else 2
        finally:
            os._exit(code)
    return pid


def test_forks_while_other_threads_query_add_and_assign():
    index = Index()
    members = [person(i) for i in range(2000)]
    index.add_object_many(members)
    stop = threading.Event()

    def querier():
        while not stop.is_set():
            index.reduced_query(Q.or_(Q.bt("n", 2, 5), Q.eq("tags", "t"))).collect()

    def adder():
        while not stop.is_set():
            other = Index()
            other.add_object_many([person(i) for i in range(300)])
            other.reduce(n=1)
            index.add_object(person(7))

    def assigner():
        i = 0
        while not stop.is_set():
            members[i % len(members)].n = i % 10
            members[(i * 7) % len(members)].tags = [i % 5]
            i += 1

    failures = []

    def forker():
        try:
            end = time.monotonic() + FORK_SECONDS
            while time.monotonic() < end and not failures:
                pid = fork_child(lambda: child_work(index, members))
                status = wait_for(pid, CHILD_SECONDS + 10)
                if status is None or not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
                    failures.append(status)
        finally:
            stop.set()

    run_threads([querier, adder, assigner, forker])
    # None: the child was still running after its time; a signal: the alarm
    # ended a hang; exit status 2: a wrong answer.
    assert failures == []
    # The parent goes on as before.
    members[0].n = 42
    assert index.reduced(n=42).collect() == [members[0]]
