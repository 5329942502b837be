"""A Python module implemented natively: an in-memory, attribute-indexed object store."""

from types import GenericAlias as _GenericAlias

from . import _native
from ._native import FilteredIndex, Index, Indexable, PyQueryExpr, sum_as_string

__all__ = ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]

# Index[Person] and FilteredIndex[Person], as the type stub declares them.
Index.__class_getitem__ = classmethod(_GenericAlias)
FilteredIndex.__class_getitem__ = classmethod(_GenericAlias)


def __getattr__(name):
    if name == "__version__":
        # Read on first use: importlib.metadata costs more than the rest of
        # the import together.
        from importlib.metadata import version

        global __version__
        __version__ = version(__name__)
        return __version__
    if name.startswith("_") and not name.startswith("__") and hasattr(_native, name):
        # The test hooks live in Tarnwick._native; code written when they were
        # module attributes still finds them, but dir() no longer lists them.
        return getattr(_native, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    public = [n for n in globals() if not n.startswith("_") or (n.startswith("__") and n.endswith("__"))]
    return sorted(set(public) | {"__version__"})
