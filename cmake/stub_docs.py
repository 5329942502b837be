"""Writes the docstrings of a type stub as C++ initialisers for the module.

    python stub_docs.py STUB OUTPUT

Each documented function, class and method of STUB becomes a line
{"Class.method", "text"}, the text cleaned as inspect.cleandoc would, so that
the runtime docstrings are the stub's, word for word. OUTPUT is rewritten only
when its text changes, so that the sources including it are not rebuilt for
nothing.
"""

import ast
import pathlib
import sys


def documented(tree):
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            doc = ast.get_docstring(node, clean=True)
            if doc is not None:
                yield node.name, doc
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    doc = ast.get_docstring(member, clean=True)
                    if doc is not None:
                        yield f"{node.name}.{member.name}", doc


def c_string(text):
    # Octal escapes for every byte outside printable ASCII: unlike \x, they
    # cannot swallow the digits that follow.
    out = []
    for byte in text.encode("utf-8"):
        char = chr(byte)
        if char in '"\\':
            out.append("\\" + char)
        elif 0x20 <= byte < 0x7F:
            out.append(char)
        else:
            out.append(f"\\{byte:03o}")
    return '"' + "".join(out) + '"'


def main(stub, output):
    tree = ast.parse(pathlib.Path(stub).read_text(encoding="utf-8"), filename=stub)
    lines = [f"// Generated from {pathlib.Path(stub).name} by {pathlib.Path(__file__).name}: do not edit.\n"]
    lines += [f"{{{c_string(name)}, {c_string(doc)}}},\n" for name, doc in documented(tree)]
    text = "".join(lines)
    target = pathlib.Path(output)
    if not target.exists() or target.read_text(encoding="utf-8") != text:
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main(*sys.argv[1:])
