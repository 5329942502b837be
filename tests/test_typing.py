"""A strict type checker accepts the README's examples and the demo, as a user would check them."""

import os
import pathlib
import re
import site
import subprocess
import sys
import textwrap

import pytest

import Tarnwick

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"

pytestmark = [
    pytest.mark.skipif(os.environ.get("TARNWICK_SANITIZED") == "1",
                       reason="runs no native code: once, against the release build, is enough"),
]

# What a user writes with the stub's types; each line must type-check.
TYPED_USE = """
from Tarnwick import FilteredIndex, Index, Indexable, PyQueryExpr as Q
import Tarnwick

class Person(Indexable):
    def __init__(self, name: str, age: int) -> None:
        self.name, self.age = name, age

ada: Person = Person("Ada", 36)
people: Index[Person] = Index()
people.add_object_many([ada])
found: list[Person] = people.reduced_query(Q.bt("age", 30, 40.5)).collect()
view: FilteredIndex[Person] = people.reduced(age=36)
again: Index[Person] = view.rebase()
by_kw: list[Person] = again.get_by_attribute(name="Ada")
version: str = Tarnwick.__version__
name_length: int = len(ada.name)
"""

# Mistakes the stub must catch: (code, what the checker says).
MISTAKES = {
    "unannotated index holds Indexable": (
        "people = Index()\npeople.add_object(Person('Ada', 36))\nmine: list[Person] = people.collect()",
        "list[Indexable]"),
    "numeric bound given a str": ('Q.gt("age", "forty")', 'Argument 2 to "gt" of "PyQueryExpr"'),
    "query given a keyword dict": ('Index().reduced_query({"age": 3})', 'Argument 1 to "reduced_query"'),
    "wrong kind of object added": ('Index[Person]().add_object(Indexable())', 'Argument 1 to "add_object"'),
}


def python_blocks_by_section():
    """The README's Python examples, those of one section joined as one program."""
    text = README.read_text(encoding="utf-8")
    sections = re.split(r"^## ", text, flags=re.M)
    programs = {}
    for number, section in enumerate(sections):
        blocks = re.findall(r"^```python\n(.*?)^```", section, re.M | re.S)
        if blocks:
            programs[f"readme_{number}"] = "\n".join(blocks)
    return programs


def mypy(files, tmp_path):
    """Runs mypy --strict on files; returns (exit code, output)."""
    env = dict(os.environ)
    package_home = pathlib.Path(Tarnwick.__file__).resolve().parent.parent
    installed = {pathlib.Path(p).resolve() for p in site.getsitepackages() + [site.getusersitepackages()]}
    if package_home not in installed:
        # A build directory on PYTHONPATH: show the checker the package there.
        env["MYPYPATH"] = str(package_home)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--python-executable", sys.executable,
         "--cache-dir", str(tmp_path / "cache"), *map(str, files)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    return done.returncode, done.stdout + done.stderr


MISTAKE_HEADER = "from Tarnwick import Index, Indexable, PyQueryExpr as Q\n\n" + textwrap.dedent("""
    class Person(Indexable):
        def __init__(self, name: str, age: int) -> None:
            self.name, self.age = name, age
    """)


@pytest.fixture(scope="module")
def checked(tmp_path_factory):
    """One run of the checker over every example, and over each mistake in a file of its own."""
    pytest.importorskip("mypy")
    tmp_path = tmp_path_factory.mktemp("typing")
    programs = python_blocks_by_section()
    assert len(programs) >= 2, "the README has fewer Python examples than expected"
    programs["typed_use"] = TYPED_USE
    files = {"demo": ROOT / "examples" / "demo.py"}
    for name, code in programs.items():
        files[name] = tmp_path / f"{name}.py"
        files[name].write_text(code, encoding="utf-8")
    for number, (label, (code, _)) in enumerate(MISTAKES.items()):
        files[label] = tmp_path / f"mistake_{number}.py"
        files[label].write_text(MISTAKE_HEADER + code + "\n", encoding="utf-8")
    _, output = mypy(files.values(), tmp_path)
    reports = {label: [line for line in output.splitlines()
                       if line.startswith((f"{path.name}:", f"{path}:"))]
               for label, path in files.items()}
    assert "Cannot find implementation or library stub" not in output, output
    return reports, output


def test_readme_examples_demo_and_typed_use_pass(checked):
    reports, output = checked
    failing = {label: lines for label, lines in reports.items() if lines and label not in MISTAKES}
    assert failing == {}, output


@pytest.mark.parametrize("label", sorted(MISTAKES))
def test_mistakes_are_reported(checked, label):
    reports, _ = checked
    expected = MISTAKES[label][1]
    assert any(expected in line for line in reports[label]), reports[label]
