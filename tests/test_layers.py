"""The include direction of the sources: each layer includes only the layers
below it (src/README.md), and the lock order lives in one place."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]', re.MULTILINE)
VALUE_MODEL = {"pyref", "value", "types", "indexable_record", "python_error", "debug_text"}


def layer(path):
    """The layer of a source file or of an include target (relative to src/)."""
    parts = pathlib.PurePosixPath(path).parts
    if parts[:3] == ("index", "core", "structures"):
        return "structures"
    if parts[:2] == ("index", "core"):
        return "engine"
    if parts[:2] == ("index", "interfaces"):
        return "interfaces"
    if parts[:1] == ("index",) and len(parts) == 2 and pathlib.PurePosixPath(parts[1]).stem in VALUE_MODEL:
        return "value model"
    if parts == ("tarnwick.cpp",):
        return "module entry"
    return None


ALLOWED = {
    "structures": {"structures"},
    "value model": {"structures", "value model"},
    "engine": {"structures", "value model", "engine"},
    "interfaces": {"structures", "value model", "engine", "interfaces"},
    "module entry": {"structures", "value model", "engine", "interfaces"},
}


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in {".hpp", ".cpp"})


def includes(path):
    return INCLUDE.findall(path.read_text())


def test_every_source_has_a_layer():
    assert [str(p.relative_to(SRC)) for p in sources() if layer(p.relative_to(SRC).as_posix()) is None] == []


@pytest.mark.parametrize("source_layer", sorted(ALLOWED))
def test_includes_point_down(source_layer):
    wrong = []
    for path in sources():
        rel = path.relative_to(SRC).as_posix()
        if layer(rel) != source_layer:
            continue
        for target in includes(path):
            target_layer = layer(target)
            if target_layer is not None and target_layer not in ALLOWED[source_layer]:
                wrong.append(f"{rel} -> {target} ({target_layer})")
    assert wrong == []


def test_structures_know_nothing_of_python():
    wrong = [p.relative_to(SRC).as_posix() for p in sources()
             if layer(p.relative_to(SRC).as_posix()) == "structures" and "Python.h" in includes(p)]
    assert wrong == []


def test_lock_order_is_stated_once():
    # The map states the order; headers point to it rather than repeat it.
    stated = [p.relative_to(SRC).as_posix() for p in sources()
              if re.search(r"strings,\s*(//\s*)?numbers,\s*(//\s*)?bools,\s*(//\s*)?element_owners", p.read_text())
              and "bulk_query_map_adder" not in p.name]
    assert stated == []
    assert "## The lock order" in (SRC / "README.md").read_text()
