"""Assignment and batch-addition speed of Tarnwick alone, for A/B runs of two builds.

Run it against one build, then another, on the same machine and settings:

    PYTHONPATH=build/rel python bench/assignment.py --sizes 200000,1000000

For each size it times add_object_many of N fresh people (the workload's
rows), then assignments to randomly chosen indexed people of an int, a str
and a list attribute, each figure the median of --repeat runs.
"""

from __future__ import annotations

import argparse
import gc
import random
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import Tarnwick  # noqa: E402

from bench.workload import (AGE, CITIES, CITY, NAME, SCORE, TAGS, TAGS_POOL,  # noqa: E402
                            generate_rows)


class Person(Tarnwick.Indexable):
    pass


def make_people(rows):
    people = []
    for row in rows:
        p = Person()
        p.age = row[AGE]
        p.score = row[SCORE]
        p.city = row[CITY]
        p.name = row[NAME]
        p.tags = list(row[TAGS])
        people.append(p)
    return people


def time_add_many(rows) -> float:
    people = make_people(rows)
    index = Tarnwick.Index()
    gc.disable()
    try:
        start = time.perf_counter()
        index.add_object_many(people)
        return time.perf_counter() - start
    finally:
        gc.enable()


def time_assignments(people, attribute: str, values, picks) -> float:
    """Nanoseconds per assignment of values[i] to people[picks[i]]."""
    gc.disable()
    try:
        start = time.perf_counter()
        for i, j in enumerate(picks):
            setattr(people[j], attribute, values[i])
        return (time.perf_counter() - start) / len(picks) * 1e9
    finally:
        gc.enable()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="200000,1000000")
    parser.add_argument("--assignments", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    rng = random.Random(12)
    for n in (int(s) for s in args.sizes.split(",")):
        rows = generate_rows(n)
        adds = [time_add_many(rows) for _ in range(args.repeat)]
        people = make_people(rows)
        index = Tarnwick.Index()
        index.add_object_many(people)
        picks = [rng.randrange(n) for _ in range(args.assignments)]
        kinds = {
            "age (int)": ("age", [rng.randrange(100) for _ in picks]),
            "city (str)": ("city", [CITIES[rng.randrange(100)] for _ in picks]),
            "tags (list)": ("tags", [rng.sample(TAGS_POOL, 2) for _ in picks]),
        }
        print(f"N={n}: add_object_many {statistics.median(adds) * 1e3:.1f} ms")
        for label, (attribute, values) in kinds.items():
            runs = [time_assignments(people, attribute, values, picks) for _ in range(args.repeat)]
            print(f"N={n}: assign {label} {statistics.median(runs):.0f} ns")
        del index, people
        gc.collect()


if __name__ == "__main__":
    main()
