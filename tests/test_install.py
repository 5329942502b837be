"""The self-contained wheel and the demo command, as a new user meets them.

These need the wheel that scripts/wheel.sh builds, named by TARNWICK_TEST_WHEEL
(the test command builds it and sets it); without it they are skipped.
"""

import json
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
WHEEL = os.environ.get("TARNWICK_TEST_WHEEL")
DEBIAN_PYTHON = pathlib.Path("/usr/bin/python3")

pytestmark = [
    pytest.mark.skipif(not WHEEL, reason="TARNWICK_TEST_WHEEL names no wheel (scripts/test.sh builds one)"),
    pytest.mark.skipif(os.environ.get("TARNWICK_SANITIZED") == "1",
                       reason="runs the release wheel, not the sanitizer build"),
]


def clean_env(**extra):
    """The environment of a user who has no virtual environment active (nor a build
    directory on PYTHONPATH, whose metadata would make pip think Tarnwick installed)."""
    env = {k: v for k, v in os.environ.items() if k not in ("VIRTUAL_ENV", "PYTHONPATH", "PYTHONHOME")}
    env.update(extra)
    return env


def run(*args, timeout=600, **kwargs):
    kwargs.setdefault("env", clean_env())
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=timeout, **kwargs)
    assert done.returncode == 0, f"{args}:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def debian_python():
    """Debian's own interpreter, when it can install the wheel."""
    if not DEBIAN_PYTHON.exists():
        pytest.skip("no /usr/bin/python3 on this machine")
    tag = run(DEBIAN_PYTHON, "-c", "import sys; print('cp%d%d' % sys.version_info[:2])").strip()
    if f"-{tag}-" not in pathlib.Path(WHEEL).name:
        pytest.skip(f"the wheel is not for {tag}, the version of /usr/bin/python3")
    return DEBIAN_PYTHON


def croaring_files():
    """The system's CRoaring: its libraries, headers and CMake package."""
    found = []
    for pattern in ("/usr/lib/*/libroaring.so*", "/usr/lib/libroaring.so*", "/usr/local/lib/libroaring.so*"):
        found += [p for p in pathlib.Path("/").glob(pattern.lstrip("/")) if p.is_file() and not p.is_symlink()]
    dirs = [p for p in (pathlib.Path("/usr/include/roaring"), *pathlib.Path("/usr/lib").glob("*/cmake/roaring"))
            if p.is_dir()]
    return found, dirs


LOADED_CROARING = (
    "import Tarnwick\n"
    "print(*sorted({line.split()[-1] for line in open('/proc/self/maps') if 'libroaring' in line}))\n"
)


def test_wheel_bundles_croaring(tmp_path):
    with zipfile.ZipFile(WHEEL) as wheel:
        names = wheel.namelist()
        # auditwheel names the directory after the distribution, in lower case.
        bundled = [n for n in names if n.lower().startswith("tarnwick.libs/libroaring")]
        extension = [n for n in names if n.startswith("Tarnwick/_native.") and n.endswith(".so")]
        assert len(bundled) == 1 and len(extension) == 1, names
        for name in ("Tarnwick/__init__.py", "Tarnwick/__init__.pyi", "Tarnwick/py.typed"):
            assert name in names
        assert any(n.endswith("LICENSE") and ".dist-info/" in n for n in names), names
        wheel.extract(extension[0], tmp_path)
    dynamic = run("readelf", "-d", tmp_path / extension[0])
    assert f"[{pathlib.Path(bundled[0]).name}]" in dynamic  # needs the bundled copy by its own name
    assert f"$ORIGIN/../{pathlib.Path(bundled[0]).parent}" in dynamic


def test_wheel_runs_the_demo_with_no_croaring_on_the_system(tmp_path):
    """Installs and runs the wheel where the system's CRoaring is masked, in a mount namespace."""
    if shutil.which("unshare") is None or subprocess.run(["unshare", "-m", "true"]).returncode != 0:
        pytest.skip("cannot make a mount namespace here")
    files, dirs = croaring_files()
    assert files, "expected the system's CRoaring, to hide it"
    masks = [f"mount --bind /dev/null '{f}'" for f in files] + [f"mount -t tmpfs none '{d}'" for d in dirs]
    venv = tmp_path / "venv"
    script = " && ".join([
        *masks,
        # The system's copy is unusable from here on.
        "! python3 -c 'import ctypes; ctypes.CDLL(\"libroaring.so.0\")' 2>/dev/null",
        f"'{sys.executable}' -m venv '{venv}'",
        f"'{venv}/bin/python' -m pip install -q --no-index --no-deps '{WHEEL}'",
        f"'{venv}/bin/python' '{ROOT}/examples/demo.py'",
        f"'{venv}/bin/python' -c \"{LOADED_CROARING}\"",
    ])
    out = run("unshare", "-m", "--propagation", "private", "sh", "-c", script, cwd=tmp_path)
    assert "indexed 10000 people" in out
    assert "tarnwick.libs/libroaring" in out.splitlines()[-1].lower()


def test_demo_command_with_debian_python(tmp_path):
    """The demo command, twice, in a copy of the project, with the interpreter Debian manages (PEP 668)."""
    python = debian_python()
    project = tmp_path / "project"
    listed = run("git", "ls-files", "-co", "--exclude-standard", "-z", cwd=ROOT)
    for name in filter(None, listed.split("\0")):
        if (ROOT / name).is_file():
            (project / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, project / name)
    env = clean_env(PYTHON=str(python), TARNWICK_WHEEL=WHEEL)

    first = run("bash", "scripts/demo.sh", cwd=project, env=env)
    second = run("bash", "scripts/demo.sh", cwd=project, env=env)
    assert "making the virtual environment" in first
    assert "using the virtual environment" in second and "making" not in second
    for out in (first, second):
        assert "indexed 10000 people" in out

    venv_python = project / ".venv" / "bin" / "python"
    assert run(venv_python, "-c", "import sys; print(sys.base_prefix)").strip() == "/usr"
    # Nothing that only the tests need.
    packages = json.loads(run(venv_python, "-m", "pip", "list", "--local", "--format=json"))
    assert {p["name"].lower() for p in packages} <= {"tarnwick", "pip", "setuptools", "wheel"}
    # The bundled CRoaring is the one loaded, not the system's.
    assert "tarnwick.libs/libroaring" in run(venv_python, "-c", LOADED_CROARING).lower()


def test_type_checker_finds_the_installed_package(tmp_path):
    pytest.importorskip("mypy")
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv)
    run(venv / "bin" / "python", "-m", "pip", "install", "-q", "--no-index", "--no-deps", WHEEL)
    out = run(sys.executable, "-m", "mypy", "--strict", "--python-executable", venv / "bin" / "python",
              "--cache-dir", tmp_path / "cache", ROOT / "examples" / "demo.py", cwd=tmp_path)
    assert "Success" in out
