"""What every peer offers the runner.

A peer is built on one workload. `compile` turns a query tree into the
peer's own form outside the timed region (a programmer writes a query once);
`execute` runs it and returns the peer's native result, and `materialize`
turns that result into the list of matching objects. A peer raises
`Unsupported` for an operation it has no reasonable way to run.
"""

from __future__ import annotations

import importlib
from typing import Any, ClassVar

from bench.predicates import Eq
from bench.workload import Workload


class Unsupported(Exception):
    """The peer cannot run this operation; the argument says why."""


class NotApplicable(Unsupported):
    """The operation means nothing for this peer (it would measure another peer's work)."""


class Peer:
    key: ClassVar[str]
    label: ClassVar[str]
    requires: ClassVar[tuple[str, ...]] = ()
    # False when the query itself already produces the list of objects, so
    # that collecting is not a step of its own.
    separate_collect: ClassVar[bool] = True
    # False when the peer queries the objects as they are, with nothing to build.
    builds: ClassVar[bool] = True

    @classmethod
    def unavailable(cls) -> str | None:
        """Why the peer cannot run here, or None when it can."""
        for module in cls.requires:
            try:
                importlib.import_module(module)
            except ImportError as exc:
                return f"{module} is not installed ({exc})"
        return None

    @classmethod
    def warm_up(cls) -> None:
        """Builds the peer once on a few rows, so that lazy imports and one-time set-up
        land in no figure."""
        peer = cls(Workload.generate(20, seed=0))
        peer.objects
        peer.build()
        try:
            peer.run(peer.compile(Eq("age", 1)))
        except Unsupported:
            pass
        peer.close()

    def __init__(self, workload: Workload):
        self.workload = workload

    @property
    def objects(self) -> list:
        """The objects that results are made of."""
        return self.workload.objects

    def create_objects(self) -> list:
        raise NotApplicable("holds the plain objects of the list comprehension")

    def build(self) -> None:
        raise NotImplementedError

    def compile(self, query) -> Any:
        raise NotImplementedError

    def execute(self, compiled) -> Any:
        raise NotImplementedError

    def materialize(self, result) -> list:
        raise NotImplementedError

    def run(self, compiled) -> list:
        return self.materialize(self.execute(compiled))

    def assign_age(self, positions: list[int], ages: list[int]) -> None:
        """Sets the age of the object at each position, keeping the peer's index current."""
        raise Unsupported("no attribute assignment")

    def count(self, compiled) -> int:
        """The number of objects the compiled query matches."""
        raise Unsupported("no count")

    def top_k(self, compiled, attr: str, k: int) -> list:
        """The k objects with the lowest `attr` among those the query matches (all
        objects when `compiled` is None), lowest first."""
        raise Unsupported("no top-k")

    def value_counts(self, compiled, attr: str) -> dict:
        """{value: number of matching objects holding it}."""
        raise Unsupported("no count per value")

    def answer_variants(self, op, compiled) -> dict:
        """Extra figures of the same answer by other means: {name: call}."""
        return {}

    def open_watch(self, compiled) -> Any:
        """A live query of the compiled query, with len() and close()."""
        raise NotApplicable("no live queries")

    def remove_timed(self, positions: list[int]) -> float:
        """Removes the objects at the positions one by one and returns the seconds
        that took; then puts them back (untimed)."""
        raise Unsupported("no removal")

    def readable_objects(self) -> list:
        """Objects whose attribute reads are measured."""
        raise NotApplicable("reads the plain objects of the list comprehension")

    def positions_of(self, found: list) -> list[int]:
        """Row positions of the objects of a result, to compare peers."""
        positions = self.workload.positions
        return [positions[id(o)] for o in found]

    def close(self) -> None:
        """Drops the peer's structure."""
