"""A hand-written index: a dict of sets of row positions per attribute.

Equality and membership are dict lookups; the score keeps a sorted array for
ranges (bisect); string tests scan the distinct names, which is what such an
index offers for them; a list attribute maps each item to its holders.
"""

from __future__ import annotations

from bisect import bisect_left, bisect_right
from collections import defaultdict

from bench.peers.base import Peer, Unsupported
from bench.predicates import (And, Between, Contains, EndsWith, Eq, Ge, Has, In, Lt, Not, Or,
                              StartsWith)
from bench.workload import AGE, ACTIVE, CITY, NAME, SCORE, TAGS, ZIP

HASHED = {"age": AGE, "city": CITY, "name": NAME, "active": ACTIVE, "address.zip": ZIP}


class DictOfSets(Peer):
    key = "dictsets"
    label = "dict-of-sets"

    def build(self) -> None:
        rows = self.workload.rows
        self.hashed = {}
        for attr, col in HASHED.items():
            index = defaultdict(set)
            for pos, row in enumerate(rows):
                index[row[col]].add(pos)
            self.hashed[attr] = dict(index)
        tags = defaultdict(set)
        for pos, row in enumerate(rows):
            for tag in row[TAGS]:
                tags[tag].add(pos)
        self.tags = dict(tags)
        order = sorted(range(len(rows)), key=lambda p: rows[p][SCORE])
        self.score_keys = [rows[p][SCORE] for p in order]
        self.score_positions = order
        self.universe = frozenset(range(len(rows)))
        self.objects

    def _hashed(self, attr):
        try:
            return self.hashed[attr]
        except KeyError:
            raise Unsupported(f"no index on {attr}") from None

    def _scan(self, attr, test):
        out = set()
        for value, positions in self._hashed(attr).items():
            if test(value):
                out |= positions
        return out

    def _sorted(self, attr):
        if attr != "score":
            raise Unsupported(f"no ordered index on {attr}")
        return self.score_keys, self.score_positions

    def compile(self, query):
        """A function of no arguments returning the set of matching positions."""
        match query:
            case Eq(attr, value):
                index = self._hashed(attr)
                return lambda: index.get(value, set())
            case In(attr, values):
                index = self._hashed(attr)
                return lambda: set().union(*(index.get(v, ()) for v in values))
            case Has("tags", item):
                tags = self.tags
                return lambda: tags.get(item, set())
            case Between(attr, lo, hi):
                keys, positions = self._sorted(attr)
                return lambda: set(positions[bisect_left(keys, lo):bisect_right(keys, hi)])
            case Lt(attr, value):
                keys, positions = self._sorted(attr)
                return lambda: set(positions[:bisect_left(keys, value)])
            case Ge(attr, value):
                keys, positions = self._sorted(attr)
                return lambda: set(positions[bisect_left(keys, value):])
            case StartsWith(attr, value):
                return lambda: self._scan(attr, lambda s: s.startswith(value))
            case EndsWith(attr, value):
                return lambda: self._scan(attr, lambda s: s.endswith(value))
            case Contains(attr, value):
                return lambda: self._scan(attr, lambda s: value in s)
            case And(parts):
                subs = [self.compile(p) for p in parts]
                universe = self.universe

                def conjunction():
                    sets = sorted((f() for f in subs), key=len)
                    return set(universe) if not sets else sets[0].intersection(*sets[1:])
                return conjunction
            case Or(parts):
                subs = [self.compile(p) for p in parts]
                return lambda: set().union(*(f() for f in subs))
            case Not(part):
                sub = self.compile(part)
                universe = self.universe
                return lambda: universe - sub()
        raise Unsupported(f"no translation of {query!r}")

    def execute(self, compiled):
        return compiled()

    def materialize(self, result) -> list:
        objs = self.objects
        return [objs[p] for p in result]

    def assign_age(self, positions, ages) -> None:
        objs, index = self.objects, self.hashed["age"]
        for p, a in zip(positions, ages):
            obj = objs[p]
            index[obj.age].discard(p)
            index.setdefault(a, set()).add(p)
            obj.age = a

    def close(self) -> None:
        self.hashed = self.tags = self.score_keys = self.score_positions = None
        self.universe = None
