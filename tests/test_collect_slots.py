"""Collecting a view reads the item slot of each of its ids: what it returns
when slots were emptied, or filled by objects that took a freed id, since the
view was made, and for views larger than the read-ahead of the slots."""

import gc

import pytest

from Tarnwick import Index, _object_id
from index_support import Item


def read_view(view, how):
    if how == "collect":
        return view.collect()
    if how == "iter":
        return list(view)
    return view.collect(offset=0, limit=len(view) + 5)


HOW = ["collect", "iter", "page"]


@pytest.mark.parametrize("how", HOW)
@pytest.mark.parametrize("count", [1, 15, 16, 17, 31, 32, 33, 1000, 5000])
def test_every_member_comes_back_once_in_id_order(how, count):
    objs = [Item(v=i % 3) for i in range(count)]
    idx = Index()
    idx.add_object_many(objs)
    expected = sorted((o for o in objs if o.v == 1), key=_object_id)
    assert read_view(idx.reduced(v=1), how) == expected
    assert read_view(idx.reduced(), how) == sorted(objs, key=_object_id)


@pytest.mark.parametrize("how", HOW)
def test_a_removal_elsewhere_leaves_the_view_whole(how):
    # Any removal moves the epoch all tables share, so the stamps of the
    # view's slots are read: none of its objects may drop out for that.
    objs = [Item(v=1) for _ in range(300)]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced(v=1)
    other, stranger = Index(), Item(v=1)
    other.add_object(stranger)
    other.remove(stranger)
    assert read_view(view, how) == sorted(objs, key=_object_id)


@pytest.mark.parametrize("how", HOW)
@pytest.mark.parametrize("position", [0, 17, 150, 299])
def test_an_object_that_took_a_freed_id_is_not_in_an_older_view(how, position):
    objs = [Item(v=1) for _ in range(300)]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced(v=1)
    gone = objs.pop(position)
    freed = _object_id(gone)
    idx.remove(gone)
    del gone
    gc.collect()
    newcomer = Item(v=1)
    assert _object_id(newcomer) == freed
    idx.add_object(newcomer)
    assert read_view(view, how) == sorted(objs, key=_object_id)
    assert newcomer in idx.reduced(v=1).collect()
