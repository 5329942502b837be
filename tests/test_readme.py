"""The examples of the README's section on the query language run as shown."""

import pathlib
import re
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def query_language_examples():
    text = README.read_text(encoding="utf-8")
    section = re.search(r"^## The query language\n(.*?)(?=^## |\Z)", text, re.M | re.S)
    assert section, "README has no section on the query language"
    return re.findall(r"^```python\n(.*?)^```", section.group(1), re.M | re.S)


def test_query_language_examples_run():
    blocks = query_language_examples()
    assert len(blocks) >= 3
    # In a fresh interpreter, as a reader runs them: the examples list objects
    # in creation order, which ids reused from earlier objects would change.
    program = "\n".join(blocks) + "\nprint('done')\n"
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120)
    assert done.stdout.strip().endswith("done"), done.stderr
