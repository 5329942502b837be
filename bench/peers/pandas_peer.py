"""pandas: one DataFrame built once, queried with boolean masks.

The nested zip is flattened into a column and the tags are exploded into a
long table of (position, tag), as a pandas user would prepare them; both are
part of the build.
"""

from __future__ import annotations

from bench.peers.base import Peer, Unsupported
from bench.predicates import (And, Between, Contains, EndsWith, Eq, Ge, Has, In, Lt, Not, Or,
                              StartsWith)

COLUMNS = {"age": "age", "score": "score", "city": "city", "name": "name", "active": "active",
           "address.zip": "address_zip"}


class Pandas(Peer):
    key = "pandas"
    label = "pandas"
    requires = ("pandas", "numpy")

    def build(self) -> None:
        import numpy as np
        import pandas as pd

        cols = self.workload.columns
        self.df = pd.DataFrame({
            "age": cols["age"], "score": cols["score"], "city": cols["city"],
            "name": cols["name"], "active": cols["active"], "address_zip": cols["zip"],
        })
        lengths = np.fromiter((len(t) for t in cols["tags"]), dtype=np.int64,
                              count=len(cols["tags"]))
        self.tags = pd.DataFrame({
            "pos": np.repeat(np.arange(len(lengths)), lengths),
            "tag": [t for tags in cols["tags"] for t in tags],
        })
        objs = np.empty(len(self.objects), dtype=object)
        objs[:] = self.objects
        self.object_array = objs

    def _column(self, attr):
        try:
            return self.df[COLUMNS[attr]]
        except KeyError:
            raise Unsupported(f"no column for {attr}") from None

    def compile(self, query):
        """A function of no arguments returning a boolean Series."""
        match query:
            case Eq(attr, value):
                return lambda: self._column(attr) == value
            case In(attr, values):
                return lambda: self._column(attr).isin(values)
            case Between(attr, lo, hi):
                return lambda: self._column(attr).between(lo, hi)
            case Lt(attr, value):
                return lambda: self._column(attr) < value
            case Ge(attr, value):
                return lambda: self._column(attr) >= value
            case StartsWith(attr, value):
                return lambda: self._column(attr).str.startswith(value)
            case EndsWith(attr, value):
                return lambda: self._column(attr).str.endswith(value)
            case Contains(attr, value):
                return lambda: self._column(attr).str.contains(value, regex=False)
            case Has("tags", item):
                def has_tag():
                    tags = self.tags
                    return self.df.index.isin(tags["pos"][tags["tag"] == item])
                return has_tag
            case And(parts) if parts:
                subs = [self.compile(p) for p in parts]

                def conjunction():
                    mask = subs[0]()
                    for f in subs[1:]:
                        mask = mask & f()
                    return mask
                return conjunction
            case Or(parts) if parts:
                subs = [self.compile(p) for p in parts]

                def disjunction():
                    mask = subs[0]()
                    for f in subs[1:]:
                        mask = mask | f()
                    return mask
                return disjunction
            case Not(part):
                sub = self.compile(part)
                return lambda: ~sub()
        raise Unsupported(f"no translation of {query!r}")

    def execute(self, compiled):
        return compiled()

    def materialize(self, result) -> list:
        import numpy as np
        return self.object_array[np.asarray(result, dtype=bool)].tolist()

    def _frame(self, compiled):
        return self.df if compiled is None else self.df[compiled()]

    def count(self, compiled) -> int:
        return len(self._frame(compiled))

    def top_k(self, compiled, attr, k) -> list:
        return self.object_array[self._frame(compiled).nsmallest(k, attr).index.to_numpy()].tolist()

    def value_counts(self, compiled, attr) -> dict:
        return self._frame(compiled)[COLUMNS[attr]].value_counts().to_dict()

    def assign_age(self, positions, ages) -> None:
        at = self.df.at
        for p, a in zip(positions, ages):
            at[p, "age"] = a

    def close(self) -> None:
        self.df = self.tags = self.object_array = None
