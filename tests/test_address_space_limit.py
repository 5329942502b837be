"""Real allocation failures, under an address-space limit, while a batch of
objects with list values is being added: every limit gives either success or
MemoryError, and the index stays consistent and usable. Each limit runs in
its own interpreter, so that an abort fails the test instead of the run."""

import os
import platform
import sys

import pytest

from Tarnwick._native import _bitmap_reserve_routes
from index_support import run_isolated

SCRIPT = """
    import resource
    from Tarnwick import Index, Indexable, PyQueryExpr as Q

    class P(Indexable):
        pass

    def address_space():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    objs = [P(n=i, tags=[f"s{{i}}", f"t{{i}}", f"u{{i}}", i * 1000, i * 1000 + 1]) for i in range(40_000)]
    idx = Index()
    idx.add_object_many(objs[:10])
    other = Index()
    other.add_object_many(objs[:10])
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + {extra_mib} * 2**20, hard))
    try:
        idx.add_object_many(objs)
        outcome = "added"
    except MemoryError:
        outcome = "MemoryError"
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    members = objs if outcome == "added" else objs[:10]
    assert idx.collect() == members
    for probe in (5, 20_000):
        expected = [objs[probe]] if objs[probe] in members else []
        assert idx.reduced_query(Q.eq("tags", f"u{{probe}}")).collect() == expected
        assert idx.reduced_query(Q.eq("tags", probe * 1000 + 1)).collect() == expected
        assert idx.get_by_attribute(n=probe) == expected
    # Still usable: the whole batch goes in now, and the other index never changed.
    idx.add_object_many(objs)
    assert idx.collect() == objs
    assert idx.reduced_query(Q.eq("tags", "u20000")).collect() == [objs[20_000]]
    objs[3].tags = ["moved"]
    assert idx.reduced_query(Q.eq("tags", "moved")).collect() == [objs[3]]
    assert other.reduced_query(Q.eq("tags", "moved")).collect() == [objs[3]]
    assert other.collect() == objs[:10]
    print(outcome)
"""


@pytest.mark.skipif(bool(os.environ.get("TARNWICK_SANITIZED")), reason="the sanitizer needs a vast address space")
@pytest.mark.parametrize("extra_mib", [8, 16, 24, 32, 36, 40, 44, 48, 52, 56, 64, 120])
def test_add_object_many_under_an_address_space_limit(extra_mib):
    code, out, err = run_isolated(SCRIPT.format(extra_mib=extra_mib))
    assert code == 0 and out.strip() in ("added", "MemoryError"), err[-2000:]


@pytest.mark.skipif(sys.platform != "linux" or platform.machine() not in ("x86_64", "aarch64"),
                    reason="the library's allocations are routed on Linux x86-64 and aarch64 only")
def test_the_bitmap_library_allocates_through_the_reserve():
    # Older releases of the library assert when an allocation of their own
    # fails; the limits above only pass reliably while this routing holds.
    assert _bitmap_reserve_routes() >= 3
