"""polars: one DataFrame built once, queried with expressions.

polars keeps the list attribute as a list column and the nested object as a
struct column, so both are queried in place. Masks are evaluated by polars'
own thread pool (all cores), the other peers run on one.
"""

from __future__ import annotations

from functools import reduce

from bench.peers.base import Peer, Unsupported
from bench.predicates import (And, Between, Contains, EndsWith, Eq, Ge, Has, In, Lt, Not, Or,
                              StartsWith)

COLUMNS = {"age", "score", "city", "name", "active"}


class Polars(Peer):
    key = "polars"
    label = "polars"
    requires = ("polars", "numpy")

    def build(self) -> None:
        import numpy as np
        import polars as pl

        cols = self.workload.columns
        self.df = pl.DataFrame({
            "age": cols["age"], "score": cols["score"], "city": cols["city"],
            "name": cols["name"], "active": cols["active"], "tags": cols["tags"],
            "zip": cols["zip"],
        }).with_columns(pl.struct(pl.col("zip")).alias("address")).drop("zip")
        objs = np.empty(len(self.objects), dtype=object)
        objs[:] = self.objects
        self.object_array = objs

    def _expr(self, query):
        import polars as pl

        def column(attr):
            if attr == "address.zip":
                return pl.col("address").struct.field("zip")
            if attr not in COLUMNS:
                raise Unsupported(f"no column for {attr}")
            return pl.col(attr)

        match query:
            case Eq(attr, value):
                return column(attr) == value
            case In(attr, values):
                return column(attr).is_in(list(values))
            case Between(attr, lo, hi):
                return column(attr).is_between(lo, hi, closed="both")
            case Lt(attr, value):
                return column(attr) < value
            case Ge(attr, value):
                return column(attr) >= value
            case StartsWith(attr, value):
                return column(attr).str.starts_with(value)
            case EndsWith(attr, value):
                return column(attr).str.ends_with(value)
            case Contains(attr, value):
                return column(attr).str.contains(value, literal=True)
            case Has("tags", item):
                return pl.col("tags").list.contains(item)
            case And(parts) if parts:
                return reduce(lambda a, b: a & b, (self._expr(p) for p in parts))
            case Or(parts) if parts:
                return reduce(lambda a, b: a | b, (self._expr(p) for p in parts))
            case Not(part):
                return ~self._expr(part)
        raise Unsupported(f"no translation of {query!r}")

    def compile(self, query):
        return self._expr(query)

    def execute(self, compiled):
        return self.df.select(compiled).to_series()

    def materialize(self, result) -> list:
        return self.object_array[result.to_numpy()].tolist()

    def _frame(self, compiled):
        return self.df if compiled is None else self.df.filter(compiled)

    def count(self, compiled) -> int:
        return self._frame(compiled).height

    def top_k(self, compiled, attr, k) -> list:
        frame = self.df.with_row_index("pos")
        if compiled is not None:
            frame = frame.filter(compiled)
        found = frame.bottom_k(k, by=attr).sort(attr)["pos"]
        return self.object_array[found.to_numpy()].tolist()

    def value_counts(self, compiled, attr) -> dict:
        counts = self._frame(compiled)[attr].value_counts(sort=True)
        return dict(zip(counts[attr].to_list(), counts["count"].to_list()))

    def assign_age(self, positions, ages) -> None:
        df = self.df
        for p, a in zip(positions, ages):
            df[p, "age"] = a

    def close(self) -> None:
        self.df = self.object_array = None
