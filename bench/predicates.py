"""A small query tree that every peer translates into its own query form.

Attribute paths may contain dots ("address.zip" reads the zip of the object
held in "address"). `Has` is a test on a list attribute: one of its items
equals the value. Ranges are inclusive at both ends.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Union


@dataclass(frozen=True)
class Eq:
    attr: str
    value: Any


@dataclass(frozen=True)
class Between:
    attr: str
    lo: Any
    hi: Any


@dataclass(frozen=True)
class Lt:
    attr: str
    value: Any


@dataclass(frozen=True)
class Ge:
    attr: str
    value: Any


@dataclass(frozen=True)
class In:
    attr: str
    values: tuple


@dataclass(frozen=True)
class Has:
    attr: str
    item: Any


@dataclass(frozen=True)
class StartsWith:
    attr: str
    value: str


@dataclass(frozen=True)
class EndsWith:
    attr: str
    value: str


@dataclass(frozen=True)
class Contains:
    attr: str
    value: str


@dataclass(frozen=True)
class And:
    parts: tuple


@dataclass(frozen=True)
class Or:
    parts: tuple


@dataclass(frozen=True)
class Not:
    part: Any


Pred = Union[Eq, Between, Lt, Ge, In, Has, StartsWith, EndsWith, Contains, And, Or, Not]


def read_path(obj, path: str):
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


def matches(pred: Pred, obj) -> bool:
    """Evaluates the tree on one object, one test at a time (the reference semantics)."""
    match pred:
        case Eq(attr, value):
            return read_path(obj, attr) == value
        case Between(attr, lo, hi):
            return lo <= read_path(obj, attr) <= hi
        case Lt(attr, value):
            return read_path(obj, attr) < value
        case Ge(attr, value):
            return read_path(obj, attr) >= value
        case In(attr, values):
            return read_path(obj, attr) in values
        case Has(attr, item):
            return item in read_path(obj, attr)
        case StartsWith(attr, value):
            return read_path(obj, attr).startswith(value)
        case EndsWith(attr, value):
            return read_path(obj, attr).endswith(value)
        case Contains(attr, value):
            return value in read_path(obj, attr)
        case And(parts):
            return all(matches(p, obj) for p in parts)
        case Or(parts):
            return any(matches(p, obj) for p in parts)
        case Not(part):
            return not matches(part, obj)
    raise TypeError(f"not a query: {pred!r}")


def python_condition(pred: Pred, var: str = "o") -> str:
    """The condition a programmer would write inline in a list comprehension."""
    match pred:
        case Eq(attr, value) if isinstance(value, bool):
            return f"{var}.{attr}" if value else f"not {var}.{attr}"
        case Eq(attr, value):
            return f"{var}.{attr} == {value!r}"
        case Between(attr, lo, hi):
            return f"{lo!r} <= {var}.{attr} <= {hi!r}"
        case Lt(attr, value):
            return f"{var}.{attr} < {value!r}"
        case Ge(attr, value):
            return f"{var}.{attr} >= {value!r}"
        case In(attr, values) if values:
            # A set display after "in" is folded into a constant by the compiler.
            return f"{var}.{attr} in {{{', '.join(map(repr, values))}}}"
        case In(attr, ()):
            return "False"
        case Has(attr, item):
            return f"{item!r} in {var}.{attr}"
        case StartsWith(attr, value):
            return f"{var}.{attr}.startswith({value!r})"
        case EndsWith(attr, value):
            return f"{var}.{attr}.endswith({value!r})"
        case Contains(attr, value):
            return f"{value!r} in {var}.{attr}"
        case And(parts) if parts:
            return " and ".join(f"({python_condition(p, var)})" for p in parts)
        case And(()):
            return "True"
        case Or(parts) if parts:
            return " or ".join(f"({python_condition(p, var)})" for p in parts)
        case Or(()):
            return "False"
        case Not(part):
            return f"not ({python_condition(part, var)})"
    raise TypeError(f"not a query: {pred!r}")


def leaves(pred: Pred):
    """The tests of a tree, left to right."""
    match pred:
        case And(parts) | Or(parts):
            for p in parts:
                yield from leaves(p)
        case Not(part):
            yield from leaves(part)
        case _:
            yield pred
