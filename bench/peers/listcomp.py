"""The baseline: a list comprehension over plain objects."""

from __future__ import annotations

import heapq
from collections import Counter
from operator import attrgetter

from bench.peers.base import NotApplicable, Peer
from bench.predicates import python_condition
from bench.workload import make_plain_objects


def comprehension(query):
    """A function holding the comprehension a programmer would write inline."""
    source = f"lambda objs: [o for o in objs if {python_condition(query)}]"
    return eval(compile(source, "<comprehension>", "eval"), {})


class ListComprehension(Peer):
    key = "listcomp"
    label = "list comp"
    separate_collect = False
    builds = False

    def create_objects(self) -> list:
        return make_plain_objects(self.workload.rows)

    def build(self) -> None:
        # Touching the objects keeps their creation out of the first query.
        self.objects

    def compile(self, query):
        return comprehension(query)

    def execute(self, compiled):
        return compiled(self.objects)

    def materialize(self, result) -> list:
        return result

    def count(self, compiled) -> int:
        return len(compiled(self.objects))

    def top_k(self, compiled, attr, k) -> list:
        objs = self.objects if compiled is None else compiled(self.objects)
        return heapq.nsmallest(k, objs, key=attrgetter(attr))

    def value_counts(self, compiled, attr) -> dict:
        get = attrgetter(attr)
        return Counter(get(o) for o in compiled(self.objects))

    def remove_timed(self, positions) -> float:
        raise NotApplicable("a list comprehension has no structure to remove from")

    def assign_age(self, positions, ages) -> None:
        objs = self.objects
        for p, a in zip(positions, ages):
            objs[p].age = a

    def readable_objects(self) -> list:
        return self.objects
