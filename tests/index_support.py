"""Helpers shared by the Index test modules."""

import ctypes
import ctypes.util
import faulthandler
import subprocess
import sys
import textwrap
import threading
import time

from Tarnwick import Indexable, _object_id

THREAD_TIMEOUT = 90


class Item(Indexable):
    pass


def run_isolated(code, timeout=300):
    """Runs code in a new interpreter, so that a crash fails the calling test
    instead of ending the test run; returns (exit code, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def ids(*objs):
    return sorted(_object_id(o) for o in objs)


def run_threads(targets, timeout=THREAD_TIMEOUT):
    """Runs the callables in threads and re-raises the first error one hit.

    A deadlock fails the test (threads still alive after the timeout), and the
    stacks of every thread are dumped shortly before that so the hang can be
    diagnosed."""
    errors = []

    def guard(fn):
        def run():
            try:
                fn()
            except BaseException as e:  # noqa: BLE001
                errors.append(e)

        return run

    faulthandler.dump_traceback_later(timeout - 5, exit=False, file=sys.stderr)
    try:
        threads = [threading.Thread(target=guard(t), daemon=True) for t in targets]
        for t in threads:
            t.start()
        deadline = time.monotonic() + timeout
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
        assert not any(t.is_alive() for t in threads), "threads did not finish: deadlock?"
    finally:
        faulthandler.cancel_dump_traceback_later()
    if errors:
        raise errors[0]


def has_mallinfo2():
    name = ctypes.util.find_library("c")
    return bool(name) and hasattr(ctypes.CDLL(name), "mallinfo2")


# The allocator's count of bytes in use, in the child interpreter.
IN_USE = """
    import ctypes, ctypes.util, gc
    from Tarnwick import Index, Indexable, PyQueryExpr as Q

    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    class Info(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in
                    "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
    libc.mallinfo2.restype = Info

    def in_use():
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd
"""
