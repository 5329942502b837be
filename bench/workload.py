"""The data every peer is measured on: N people, generated from a seed.

The rows are plain tuples so that each peer can load them into its own
structure; the plain objects are what the object-based peers (the list
comprehension, the hand-written index, ducks) query. Tarnwick builds its own
objects from the same rows.
"""

from __future__ import annotations

import random
import string
from dataclasses import dataclass, field

# Column positions inside a row tuple.
AGE, SCORE, CITY, NAME, ACTIVE, TAGS, ZIP = range(7)
COLUMNS = ("age", "score", "city", "name", "active", "tags", "zip")

CITIES = tuple(f"city{i:02d}" for i in range(100))
TAGS_POOL = tuple(f"tag{i:02d}" for i in range(50))
ZIPS = tuple(f"Z{i:04d}" for i in range(100))
ACTIVE_SHARE = 0.01  # so that equality on the bool selects about 1%

_LOWER = string.ascii_lowercase
_UPPER = string.ascii_uppercase


class Address:
    """The nested object of a plain person."""

    def __init__(self, zip):
        self.zip = zip


class Person:
    """A plain Python object, as a program without Tarnwick would hold it."""

    def __init__(self, age, score, city, name, active, tags, address):
        self.age = age
        self.score = score
        self.city = city
        self.name = name
        self.active = active
        self.tags = tags
        self.address = address


def generate_rows(n: int, seed: int = 8) -> list[tuple]:
    """N rows (age, score, city, name, active, tags, zip), the same for a given seed."""
    rng = random.Random(seed)
    randrange, rand, choices, sample = rng.randrange, rng.random, rng.choices, rng.sample
    rows = []
    append = rows.append
    for _ in range(n):
        name = _UPPER[randrange(26)] + "".join(choices(_LOWER, k=randrange(7, 20)))
        append((
            randrange(100),
            rand(),
            CITIES[randrange(100)],
            name,
            rand() < ACTIVE_SHARE,
            sample(TAGS_POOL, randrange(1, 4)),
            ZIPS[randrange(100)],
        ))
    return rows


def make_plain_objects(rows: list[tuple]) -> list[Person]:
    # Each object gets its own tags list: the rows' lists stay untouched when
    # a benchmark assigns attributes.
    return [Person(r[AGE], r[SCORE], r[CITY], r[NAME], r[ACTIVE], list(r[TAGS]), Address(r[ZIP]))
            for r in rows]


@dataclass
class Workload:
    """Rows plus the lazily built views of them that several peers share."""

    n: int
    seed: int
    rows: list[tuple]
    _objects: list[Person] | None = field(default=None, repr=False)
    _positions: dict[int, int] | None = field(default=None, repr=False)
    _columns: dict[str, list] | None = field(default=None, repr=False)

    @classmethod
    def generate(cls, n: int, seed: int = 8) -> "Workload":
        return cls(n, seed, generate_rows(n, seed))

    @property
    def objects(self) -> list[Person]:
        if self._objects is None:
            self._objects = make_plain_objects(self.rows)
        return self._objects

    @property
    def positions(self) -> dict[int, int]:
        """Row position of each plain object, keyed by id(), to check results."""
        if self._positions is None:
            self._positions = {id(o): i for i, o in enumerate(self.objects)}
        return self._positions

    @property
    def columns(self) -> dict[str, list]:
        if self._columns is None:
            self._columns = {name: [r[i] for r in self.rows] for i, name in enumerate(COLUMNS)}
        return self._columns
