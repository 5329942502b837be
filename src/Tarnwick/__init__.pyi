"""A Python module implemented natively: an in-memory, attribute-indexed object store."""

from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from datetime import date, time, timedelta
from types import TracebackType
from typing import Any, Generic, Literal, Self, SupportsFloat, SupportsIndex, TypeAlias

from typing_extensions import TypeVar

__all__ = ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]
__version__: str

# The docstrings below are also the runtime ones: the build compiles them
# into the module, and help() shows the same text as an editor.

_T = TypeVar("_T", bound=Indexable, default=Indexable)

# What a range test (gt, ge, lt, le, bt) orders by: ints and floats (numpy's
# integer and floating scalars among them, through __index__ and __float__),
# or a date, datetime, time or timedelta, compared only with values of its
# own type.
_Number: TypeAlias = int | float | SupportsIndex | SupportsFloat
_Bound: TypeAlias = _Number | date | time | timedelta

# Both arguments are unsigned integers of the platform's pointer width (any
# object with __index__ is accepted); the sum wraps around at that width, and
# a negative argument or one above the range raises OverflowError.
def sum_as_string(a: SupportsIndex, b: SupportsIndex) -> str:
    """Formats the sum of two numbers as string."""

class Index(Generic[_T]):
    """A set of ``Indexable`` objects, indexed by every attribute they have.

    Objects stay alive while they belong to the index. Assigning an attribute
    of an object that belongs to the index (or to several) updates it at once.
    Values are indexed by kind: ints and floats (numpy's among them) on one
    numeric scale, dates, datetimes, times and timedeltas each on a scale of
    their own, strs by their bytes, bools, other ``Indexable`` objects (whose
    own attributes become reachable through dotted paths such as
    ``"address.city"``), and any other object by identity. The items of list, tuple and set attributes
    are indexed one by one and lead back to the object; dict attributes are
    not indexed.

    Paths through cycles: an object that holds itself (``ceo.manager = ceo``,
    or in an item of a container) continues the path on itself, as Python's
    attribute access would, at every step of the path. A step that leads back
    to another object through which the index reached the current one (one
    of its holders along the path's earlier attributes, a holder of that
    holder, and so on up to the members) is not followed, and the path finds
    nothing there: with ``a.b = b; b.a = a`` both in the index,
    ``"b.a.name"`` matches neither. Which steps lead back is settled when the
    value is assigned or its holder added, from the holders at that moment.
    Such paths never raise.

    A value whose ``__hash__`` raises an ordinary exception is indexed by
    identity instead; KeyboardInterrupt, SystemExit, MemoryError and other
    exceptions that are not ordinary ``Exception`` subclasses propagate from
    the call that converts the value, and the call is undone as a whole.

    Methods may be called from several threads at once; the work of adding
    objects runs without holding the GIL.

    ``Index[Person]`` is an index of ``Person`` objects for a type checker:
    its ``collect()`` returns ``list[Person]``. Subscripting works at run
    time too, and ``Index[Person]()`` makes a plain ``Index``.
    """

    def __init__(self) -> None:
        """An empty index. Takes no arguments."""

    def add_object(self, py_ref: _T) -> None:
        """Adds one object, indexing its attributes except those starting with ``_``.

        Adding an object that already belongs to the index adds nothing new.
        Raises TypeError when ``py_ref`` is not an ``Indexable``.
        """

    def add_object_many(self, objs: Iterable[_T]) -> None:
        """Adds every object of ``objs`` in one batch.

        Unlike ``add_object``, every attribute is indexed, including those
        whose names start with ``_``; later assignments to those attributes
        update this index (but a ``_`` attribute the object gains after it
        was added is not indexed). ``objs`` is any iterable except a str (a
        generator too), read to its end before anything is added; if it is
        not one, or yields anything but ``Indexable`` objects, TypeError is
        raised and nothing is added; an error raised while iterating it
        propagates and nothing is added.
        """

    def collect(
        self, *, order_by: str | None = None, descending: bool = False, limit: int | None = None, offset: int = 0
    ) -> list[_T]:
        """The objects, each once; a new list.

        Without ``order_by``: ascending object-id order (for objects of one
        class, creation order unless ids of destroyed objects were reused),
        ``offset`` and ``limit`` paging through it. ``order_by`` names an attribute or a dotted path; the key
        is what Python attribute access along it gives. Order: numbers (int,
        float and numpy numbers compared exactly), then ``False``, ``True``,
        then strs (code point order), then dates, naive datetimes, aware
        datetimes (as instants), naive times, aware times (as instants) and
        timedeltas, each kind by value, then objects without the attribute or
        holding anything else (NaN included); ties in ascending id order.
        ``descending=True`` reverses all of these groups as one order
        (timedeltas first); the rest stays last. ``offset`` and ``limit``
        apply after ordering.

        Ordering by a plain numeric attribute reads the numeric index: a page
        of k objects costs work that grows with k, not with the number of
        objects. Raises TypeError for an argument of the wrong type (naming
        it) and ValueError for a negative ``limit`` or ``offset``.
        """

    def value_counts(self, attr: str) -> dict[Any, int]:
        """How many objects hold each value of ``attr`` (a name or dotted path).

        A dict from value to count, most held first, ties in the order of the
        first object (by id) holding the value. The items of list, tuple and
        set attributes count once per object that holds them; numbers equal
        across int and float are one key, as are equal dates, times and
        durations (aware ones naming the same instant), as are values a dict takes for one
        key (``True`` and ``1``); NaN is not counted; other objects count by
        identity. Counted from the value index by bitmap cardinalities: the
        cost grows with the number of distinct values. Raises TypeError when
        ``attr`` is not a str.
        """

    def remove(self, obj: object, /) -> None:
        """Takes ``obj`` out of the index, as an in-place ``reduce`` would.

        Its values leave every index structure (container items and nested
        objects included), later assignments to it no longer reach this
        index, and existing views skip it. Raises KeyError when ``obj`` is not
        a member (anything that is not an ``Indexable`` never is).
        """

    def discard(self, obj: object, /) -> None:
        """``remove`` without the KeyError."""

    def clear(self) -> None:
        """Takes every object out, as ``remove`` would."""

    def __len__(self) -> int:
        """The number of objects ``collect()`` returns, from bitmap cardinalities."""

    def __contains__(self, obj: object) -> bool:
        """Whether ``obj`` is one of the objects (identity); False for anything
        that is not an ``Indexable``."""

    def __iter__(self) -> Iterator[_T]:
        """The objects in ascending id order, from a snapshot taken when
        iteration starts: changes meanwhile do not disturb it."""

    def __repr__(self) -> str:
        """``<Tarnwick.Index with N objects>``."""

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickled and copied as its members: ``pickle``, ``copy.copy`` and
        ``copy.deepcopy`` give a new index holding the unpickled, the same or
        the deep-copied objects (objects shared within one pickle stay shared).
        """

    def __setstate__(self, state: Iterable[_T], /) -> None:
        """Adds the members of a pickled index, as ``add_object_many`` does."""

    def get_by_attribute(self, **kwargs: object) -> list[_T]:
        """The objects whose attributes equal the keyword arguments.

        ``index.get_by_attribute(age=30, name="Ada")`` is the list of the
        objects with both values, in ascending object-id order; without
        keywords, every object. Equality is that of ``PyQueryExpr.eq``. A
        keyword can name a dotted path only by unpacking a dict:
        ``get_by_attribute(**{"address.city": "Oslo"})``. Positional arguments
        raise TypeError.
        """

    def reduce(self, **kwargs: object) -> None:
        """Keeps only the objects whose attributes equal the keyword arguments.

        The others leave the index (and it drops its reference to them);
        assigning their attributes later no longer affects it, and only
        ``add_object`` brings one back. Views made earlier keep their ids but
        no longer return the removed objects.
        """

    def reduced(self, **kwargs: object) -> FilteredIndex[_T]:
        """A view of the objects whose attributes equal the keyword arguments.

        The index itself is unchanged.
        """

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex[_T]:
        """A view of the objects that match ``query``.

        Raises TypeError when ``query`` is not a ``PyQueryExpr``,
        NotImplementedError("not yet implemented") when a ``bt`` test with a
        bound that is not a number meets an attribute some object has, and
        RecursionError when this thread's stack cannot hold the evaluation of
        a tree that deep.
        """

    def union_with(self, other: Index[_T]) -> None:
        """Merges ``other`` into this index.

        The objects of ``other`` become members of this index, findable by
        every value ``other`` has indexed for them (nested objects and the
        items of containers included); an object of both is held once.
        From then on, assigning an attribute of one of them updates both
        indexes. ``other`` itself is left unchanged. Merging an index into
        itself does nothing. Raises TypeError when ``other`` is not an
        ``Index``.
        """

    def watch(
        self, query: PyQueryExpr | Mapping[str, object], callback: Callable[[_T, bool], object] | None = None
    ) -> Watch[_T]:
        """A live query: the members that match ``query``, kept current.

        ``query`` is a ``PyQueryExpr`` or a dict of keyword equalities (as
        ``reduced`` takes them). The watch starts with the objects that match
        now, without calling ``callback`` for them. From then on
        ``callback(obj, True)`` is called when ``obj`` starts matching (an
        assignment, ``add_object``, ``add_object_many``, ``union_with``, an
        assignment inside a nested object a dotted path of the query reaches)
        and ``callback(obj, False)`` when it stops (an assignment,
        ``remove``, ``discard``, an in-place ``reduce``, ``clear``); never
        when a change leaves the answer as it was. For one object the calls
        alternate, in the order of its changes.

        Callbacks run on the thread that made the change, once it is complete
        and before the call that made it returns. A callback may read, assign,
        query, add and remove; the changes it makes call the callbacks in turn
        after it returns, and a chain more than 100 deep raises RecursionError
        in the callback that would extend it. An exception a callback raises
        goes to ``sys.unraisablehook`` and neither undoes the change nor keeps
        other callbacks from running.

        Each change tests only the objects it changed, against the watches
        whose queries mention the attribute changed. The index holds its open
        watches until they are closed. Raises TypeError when ``query`` is
        neither a ``PyQueryExpr`` nor a dict, or ``callback`` is neither None
        nor callable; errors of evaluating ``query`` as for ``reduced_query``.
        """

class Indexable:
    """Base class of every object an Index can hold.

    Attributes are kept natively: every assignment converts the value (int,
    float, str and bool become typed values; numpy int64, float64, bool and
    str_ scalars are recognised as their builtin kinds; other objects are kept
    by identity) and stores it under the attribute's name. Reading an
    attribute looks there first, so an attribute hides a method of the same
    name; scalars read back as builtin values, everything else as the very
    same object. Attributes cannot be deleted. When the object belongs to an
    index, assigning an attribute updates that index; names starting with
    ``_`` are indexed only by ``Index.add_object_many`` (and so by
    ``FilteredIndex.rebase``) and by merges of such indexes, and assigning
    one updates exactly the indexes that indexed it.

    Subclass it to give objects methods; set attributes in ``__init__`` or as
    keyword arguments to the constructor.
    """

    def __new__(cls, *_args: Any, **kwargs: Any) -> Self:
        """Makes an object with the keyword arguments as its attributes.

        Positional arguments are accepted and ignored. A subclass that also
        derives from ``abc.ABC`` and has abstract methods left raises
        TypeError, as ``object.__new__`` does.
        """

    def __getattribute__(self, name: str) -> Any:
        """The stored attribute, else the class attribute, method or descriptor.

        Raises AttributeError (whose argument is the name) when neither exists.
        """

    def __setattr__(self, name: str, value: Any) -> None:
        """Stores the value and updates every index the object belongs to."""

    def __delattr__(self, name: str) -> None:
        """Always raises AttributeError("can't delete attribute")."""

    def __dir__(self) -> list[str]:
        """The stored attribute names in assignment order, then the default names."""

    def __repr__(self) -> str:
        """``<Indexable with N attributes>``, with the class's own name for a
        subclass (``<Person with 2 attributes>``)."""

    def __reduce__(self) -> tuple[Any, ...]:
        """``pickle``, ``copy.copy`` and ``copy.deepcopy`` make a new object of
        the same class (``__init__`` is not called) with the same attributes,
        names starting with ``_`` included (deep copies of them for
        ``deepcopy``); the copy belongs to no index."""

    def __setstate__(self, state: dict[str, Any], /) -> None:
        """Assigns every item of ``state`` as an attribute, as unpickling does."""

class FilteredIndex(Generic[_T]):
    """A view: the objects a reduction selected, over the tables of its index.

    The set of objects is fixed when the view is made; their values are not:
    narrowing a view tests the objects' current values. Views are made only
    by ``reduced`` and ``reduced_query`` (of an ``Index`` or of another
    view); calling the class raises TypeError. A view keeps working after its
    ``Index`` is gone, and never changes it.
    """

    def reduced(self, **kwargs: object) -> FilteredIndex[_T]:
        """The objects of this view whose attributes equal the keyword arguments."""

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex[_T]:
        """The objects of this view that match ``query``.

        ``not_`` and ``ne`` complement within this view. Errors as for
        ``Index.reduced_query``.
        """

    def collect(
        self, *, order_by: str | None = None, descending: bool = False, limit: int | None = None, offset: int = 0
    ) -> list[_T]:
        """The objects of the view, as ``Index.collect`` gives them.

        Objects an in-place ``reduce``, ``remove`` or ``clear`` of the index
        took out since the view was made are left out, even once they (or new
        objects given their ids) are added again: a view returns only objects
        it held.
        """

    def value_counts(self, attr: str) -> dict[Any, int]:
        """As ``Index.value_counts``, among the objects of the view."""

    def __len__(self) -> int:
        """The number of objects ``collect()`` returns, from bitmap cardinalities."""

    def __contains__(self, obj: object) -> bool:
        """Whether ``obj`` is one of the objects (identity); False for anything
        that is not an ``Indexable``."""

    def __iter__(self) -> Iterator[_T]:
        """The objects in ascending id order, from a snapshot taken when
        iteration starts: changes meanwhile do not disturb it."""

    def __repr__(self) -> str:
        """``<Tarnwick.FilteredIndex with N objects>``. Views cannot be
        pickled or copied (TypeError)."""

    def rebase(self) -> Index[_T]:
        """A new, independent ``Index`` holding the objects ``collect`` returns.

        Every attribute is indexed from its current value, including those
        whose names start with ``_``, and later assignments update the new
        index too.
        """

class Watch(Generic[_T]):
    """A live query of an ``Index``, made by ``Index.watch``.

    A collection of the index's members that match the query, always equal to
    what ``Index.reduced_query`` would give at that moment, kept without
    running the query again. The class cannot be instantiated directly.
    ``close()`` stops it (also on leaving a ``with`` block); a closed watch
    raises ValueError on use. An open watch keeps its index alive and the
    index its open watches; the garbage collector frees both together once
    nothing else refers to them.
    """

    @property
    def closed(self) -> bool: ...
    def close(self) -> None:
        """Stops the watch: no more callbacks, including those of changes
        already made whose callbacks have not run yet. Closing again does
        nothing."""

    def collect(
        self, *, order_by: str | None = None, descending: bool = False, limit: int | None = None, offset: int = 0
    ) -> list[_T]:
        """The matching objects, in ascending id order, with the keyword
        arguments of ``Index.collect``."""

    def __len__(self) -> int:
        """The number of matching objects, read from the live set."""

    def __contains__(self, obj: object) -> bool:
        """Whether ``obj`` matches (identity); False for anything that is not
        an ``Indexable``."""

    def __iter__(self) -> Iterator[_T]:
        """The matching objects, from a snapshot taken when iteration starts."""

    def __enter__(self) -> Self:
        """The watch itself."""

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None, /
    ) -> Literal[False]:
        """Closes the watch."""

    def __repr__(self) -> str:
        """``<Tarnwick.Watch with N objects>``, or ``<Tarnwick.Watch closed>``."""

class PyQueryExpr:
    """A query: a tree of tests on attribute values joined by and, or and not.

    Instances are made only by the static methods below and never change;
    combining them copies the operands, which stay usable on their own. Pass
    one to ``reduced_query`` of an ``Index`` or a ``FilteredIndex``.

    ``attr`` is an attribute name, or several joined by ``.`` to test an
    attribute of an ``Indexable`` held in an attribute (``"address.city"``).
    Values are converted when the query is made, exactly as attribute values
    are on assignment: an int never equals a str, a bool is not an int, and
    other objects compare by identity. An attribute no object has, or a value
    of a kind the test does not handle, matches nothing rather than failing.
    Tests on list, tuple and set attributes match their items, however deeply
    the containers nest. NaN is unordered, as in Python: it equals nothing and
    is in no range.

    A tree is at most 1000 levels deep (a single test is one level): ``and_``,
    ``or_`` and ``not_`` raise RecursionError beyond. Printing, releasing and
    garbage-collecting a tree use no native recursion; evaluating or copying
    one does, and raises RecursionError instead of overflowing the stack of a
    thread started with a small ``threading.stack_size``. A 256 KiB stack is
    enough for the deepest tree.

    Calling the class itself raises TypeError.
    """

    @staticmethod
    def eq(attr: str, value: object) -> PyQueryExpr:
        """Objects whose attribute equals ``value``.

        Numbers compare by numeric value across int and float (``3`` matches
        ``3.0``, ``-0.0`` matches ``0``, ``np.int32(3)`` matches ``3``);
        strings compare byte for byte; dates, times and durations by value
        within their own type (aware ones as instants; naive never equals
        aware).
        """

    @staticmethod
    def ne(attr: str, value: object) -> PyQueryExpr:
        """Objects whose attribute does not equal ``value``.

        The same as ``not_(eq(attr, value))``: objects without the attribute
        match too.
        """

    @staticmethod
    def gt(attr: str, value: _Bound) -> PyQueryExpr:
        """Objects whose attribute is greater than ``value``.

        Ints and floats share one exact order; a date, datetime, time or
        timedelta is compared only with values of its own type (and
        awareness); other kinds match nothing.
        """

    @staticmethod
    def ge(attr: str, value: _Bound) -> PyQueryExpr:
        """Objects whose attribute is greater than or equal to ``value``."""

    @staticmethod
    def lt(attr: str, value: _Bound) -> PyQueryExpr:
        """Objects whose attribute is less than ``value``."""

    @staticmethod
    def le(attr: str, value: _Bound) -> PyQueryExpr:
        """Objects whose attribute is less than or equal to ``value``."""

    @staticmethod
    def bt(attr: str, lower: _Bound, upper: _Bound) -> PyQueryExpr:
        """Objects whose attribute lies between ``lower`` and ``upper``.

        Both bounds are inclusive; ``lower`` above ``upper``, or bounds of two
        kinds (a number and a date, a naive and an aware datetime), match
        nothing. Both bounds must be numbers or temporal values: otherwise
        evaluating the query on an attribute that some object has raises
        NotImplementedError("not yet implemented").
        """

    @staticmethod
    def in_(attr: str, values: Iterable[object]) -> PyQueryExpr:
        """Objects whose attribute equals any of ``values``.

        ``values`` is any iterable except a str (refused with TypeError); it is
        read once, when the query is made. An empty one matches nothing.
        """

    @staticmethod
    def and_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects that match every one of ``exprs``; with none, every object."""

    @staticmethod
    def or_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects that match at least one of ``exprs``; with none, no object."""

    @staticmethod
    def not_(exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects of the index or view being queried that do not match ``exprs``."""

    @staticmethod
    def starts_with(attr: str, value: str) -> PyQueryExpr:
        """Objects whose str attribute starts with the str ``value``.

        The empty string matches every str attribute; other kinds of value
        match nothing. Case-sensitive, without normalisation.
        """

    @staticmethod
    def ends_with(attr: str, value: str) -> PyQueryExpr:
        """Objects whose str attribute ends with the str ``value``."""

    @staticmethod
    def contains(attr: str, value: str) -> PyQueryExpr:
        """Objects whose str attribute contains the str ``value`` anywhere."""

    def __and__(self, other: PyQueryExpr) -> PyQueryExpr:
        """``and_(self, other)``."""

    def __or__(self, other: PyQueryExpr) -> PyQueryExpr:
        """``or_(self, other)``."""

    def __invert__(self) -> PyQueryExpr:
        """``not_(self)``."""

    def __repr__(self) -> str:
        """``<QueryExpr: ...>`` with the tree in one line, for example
        ``<QueryExpr: Eq("age", PyValue { ... })>``."""
