import importlib
import subprocess
import sys
import textwrap

import pytest

import Tarnwick

PUBLIC_ORDER = ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]


def run_fresh(code):
    """Runs code in a new interpreter and returns its stdout."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


class TestModule:
    def test_import_returns_the_same_module(self):
        assert importlib.import_module("Tarnwick") is Tarnwick

    def test_reinitialisation_returns_the_kept_module(self):
        out = run_fresh(
            """
            import sys
            import Tarnwick._native as first
            del sys.modules["Tarnwick._native"]
            import Tarnwick._native as second
            print(first is second, second.Indexable is first.Indexable)
            """
        )
        assert out.split() == ["True", "True"]

    def test_all_follows_registration_order(self):
        names = Tarnwick.__all__
        assert {"sum_as_string", "Indexable"} <= set(names)
        assert names == [n for n in PUBLIC_ORDER if n in names]
        for name in names:
            assert getattr(Tarnwick, name) is not None

    def test_private_hooks_stay_out_of_all(self):
        assert hasattr(Tarnwick, "_object_id")
        assert not [n for n in Tarnwick.__all__ if n.startswith("_")]

    def test_dir_lists_no_private_names(self):
        private = [n for n in dir(Tarnwick) if n.startswith("_") and not n.startswith("__")]
        assert private == []
        assert set(Tarnwick.__all__) <= set(dir(Tarnwick))
        assert "__version__" in dir(Tarnwick)

    def test_hooks_live_in_the_private_submodule(self):
        assert Tarnwick._object_id is Tarnwick._native._object_id
        with pytest.raises(AttributeError, match="no_such_hook"):
            Tarnwick._no_such_hook
        assert Tarnwick._native.Index is Tarnwick.Index

    def test_classes_have_bare_names(self):
        assert Tarnwick.Indexable.__name__ == "Indexable"
        assert Tarnwick.Indexable.__qualname__ == "Indexable"

    def test_subinterpreter_is_refused(self):
        interpreters = pytest.importorskip("_xxsubinterpreters")
        out = run_fresh(
            """
            import _xxsubinterpreters as interpreters
            import Tarnwick
            sub = interpreters.create()
            try:
                interpreters.run_string(sub, "import Tarnwick")
                print("imported")
            except Exception as e:
                print("ImportError" in str(e))
            """
        )
        assert out.split() == ["True"]


class TestSumAsString:
    def test_positional_and_keyword(self):
        assert Tarnwick.sum_as_string(2, 3) == "5"
        assert Tarnwick.sum_as_string(a=2, b=3) == "5"
        assert Tarnwick.sum_as_string(2, b=3) == "5"

    def test_wraps_at_pointer_width(self):
        width = 64 if sys.maxsize > 2**32 else 32
        assert Tarnwick.sum_as_string(2**width - 1, 1) == "0"
        assert Tarnwick.sum_as_string(2**width - 1, 2**width - 1) == str(2**width - 2)

    def test_index_objects_are_accepted(self):
        class Seven:
            def __index__(self):
                return 7

        assert Tarnwick.sum_as_string(Seven(), True) == "8"

    def test_negative_raises_overflow(self):
        with pytest.raises(OverflowError):
            Tarnwick.sum_as_string(-1, 0)
        with pytest.raises(OverflowError):
            Tarnwick.sum_as_string(0, -(2**80))

    def test_too_large_raises_fixed_overflow(self):
        width = 64 if sys.maxsize > 2**32 else 32
        with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
            Tarnwick.sum_as_string(2**width, 0)

    def test_non_integers_name_the_parameter(self):
        with pytest.raises(TypeError, match="'a'"):
            Tarnwick.sum_as_string(1.5, 1)
        with pytest.raises(TypeError, match="'b'"):
            Tarnwick.sum_as_string(1, "2")

    def test_argument_errors(self):
        with pytest.raises(TypeError):
            Tarnwick.sum_as_string(1)
        with pytest.raises(TypeError):
            Tarnwick.sum_as_string(1, 2, c=3)
        with pytest.raises(TypeError):
            Tarnwick.sum_as_string(1, 2, 3)

    def test_signature_and_origin(self):
        f = Tarnwick.sum_as_string
        assert f.__text_signature__ == "(a, b)"
        assert f.__doc__ == "Formats the sum of two numbers as string."
        assert f.__module__ == "Tarnwick"
        assert f.__name__ == "sum_as_string"


class TestFreshProcess:
    def test_ids_interning_and_lazy_numpy(self):
        out = run_fresh(
            """
            import sys
            import Tarnwick as T

            assert "numpy" not in sys.modules, "import Tarnwick imported numpy"
            # Nothing is interned before the first attribute name is used.
            print(T._intern("a"), T._intern("b"), T._intern("a"), T._resolve(1))

            objs = [T.Indexable() for _ in range(3)]
            print(*[T._object_id(o) for o in objs])
            first, second, third = objs
            del objs
            del first   # frees 1
            del third   # frees 3
            again = [T.Indexable(), T.Indexable(), T.Indexable()]
            print(*[T._object_id(o) for o in again])

            assert "numpy" not in sys.modules, "making objects without values imported numpy"
            T._value_hash(1)
            print("numpy" in sys.modules)
            """
        )
        lines = out.splitlines()
        assert lines[0].split() == ["0", "1", "0", "b"]
        assert lines[1].split() == ["1", "2", "3"]
        assert lines[2].split() == ["3", "1", "4"]
        try:
            import numpy  # noqa: F401

            assert lines[3] == "True"
        except ImportError:
            assert lines[3] == "False"

    def test_works_without_numpy(self):
        out = run_fresh(
            """
            import sys
            sys.modules["numpy"] = None   # makes "import numpy" fail
            import Tarnwick as T
            o = T.Indexable(i=3, f=1.5, s="x", b=True)
            print(o.i, o.f, o.s, o.b, T._value_debug(3).split("primitave: ")[1].split(",")[0])
            """
        )
        assert out.split() == ["3", "1.5", "x", "True", "Int(3)"]
