"""The package as Python tools see it: documentation, version, typing markers, licence."""

import ast
import inspect
import pathlib
import tomllib
import types

import pytest

import Tarnwick

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = pathlib.Path(Tarnwick.__file__).resolve().parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]


def stub_docs():
    """{"Class.method": docstring} of the stub that ships with the imported package."""
    tree = ast.parse((PACKAGE / "__init__.pyi").read_text(encoding="utf-8"))
    docs = {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            docs[node.name] = ast.get_docstring(node)
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    docs[f"{node.name}.{member.name}"] = ast.get_docstring(member)
    return docs


STUB = stub_docs()
NATIVE_METHOD_KINDS = (types.MethodDescriptorType, types.ClassMethodDescriptorType)


def native_methods():
    """Every method the module defines itself (not the slots CPython documents)."""
    for class_name in ("Index", "Indexable", "FilteredIndex", "PyQueryExpr"):
        cls = getattr(Tarnwick, class_name)
        for name, member in vars(cls).items():
            if name.startswith("_") and not (name.startswith("__") and name.endswith("__")):
                continue  # the test suite's own hooks
            if isinstance(member, staticmethod):
                member = member.__func__  # the factories of PyQueryExpr
            elif not isinstance(member, NATIVE_METHOD_KINDS):
                continue  # __new__ and the slots, which CPython documents
            yield f"{class_name}.{name}", member


METHODS = dict(native_methods())
PUBLIC = {name: getattr(Tarnwick, name) for name in Tarnwick.__all__}


@pytest.mark.parametrize("name", sorted(PUBLIC))
def test_public_names_carry_the_stub_docstring(name):
    assert STUB.get(name), f"the stub does not document {name}"
    assert inspect.getdoc(PUBLIC[name]) == STUB[name]


@pytest.mark.parametrize("name", sorted(METHODS))
def test_methods_carry_the_stub_docstring(name):
    assert STUB.get(name), f"the stub does not document {name}"
    assert METHODS[name].__doc__ == STUB[name]


def test_every_documented_method_exists():
    documented = {n for n in STUB if "." in n and n.split(".")[0] in PUBLIC}
    missing = [n for n in documented if not hasattr(PUBLIC[n.split(".")[0]], n.split(".")[1])]
    assert missing == []


@pytest.mark.parametrize("cls, name, signature", [
    (Tarnwick.Index, None, "()"),
    (Tarnwick.Indexable, None, "(*_args, **kwargs)"),
    (Tarnwick.Index, "union_with", "($self, other)"),
    (Tarnwick.PyQueryExpr, "bt", "(attr, lower, upper)"),
])
def test_docstrings_keep_the_text_signature(cls, name, signature):
    target = getattr(cls, name) if name else cls
    assert target.__text_signature__ == signature


def test_version_is_the_package_metadata():
    from importlib.metadata import version

    assert Tarnwick.__version__ == PROJECT["version"] == version("Tarnwick")


@pytest.mark.parametrize("generic", [Tarnwick.Index, Tarnwick.FilteredIndex])
def test_generic_in_the_object_type_at_run_time(generic):
    class Person(Tarnwick.Indexable):
        pass

    alias = generic[Person]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is generic and alias.__args__ == (Person,)


def test_subscripted_index_makes_a_plain_index():
    index = Tarnwick.Index[Tarnwick.Indexable]()
    assert type(index) is Tarnwick.Index
    index.add_object(Tarnwick.Indexable(a=1))
    assert len(index.reduced(a=1).collect()) == 1


@pytest.mark.parametrize("name", ["__init__.pyi", "py.typed"])
def test_typing_files_ship_inside_the_package(name):
    assert (PACKAGE / name).is_file()


def test_licence_file_matches_the_metadata():
    licence = (ROOT / "LICENSE").read_text(encoding="utf-8")
    declared = PROJECT["license"]["text"]
    assert licence.splitlines()[0] == f"{declared} License"
    assert f"License :: OSI Approved :: {declared} License" in PROJECT["classifiers"]


def test_changelog_names_the_current_version():
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    releases = [line for line in changelog.splitlines() if line.startswith("## ")]
    assert releases and releases[0].startswith(f"## {PROJECT['version']}")
