"""Finding CRoaring at configure time: a clear message when it is missing, and ROARING_ROOT."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SYSTEM_HEADERS = pathlib.Path("/usr/include/roaring")

pytestmark = [
    pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake"),
    pytest.mark.skipif(os.environ.get("TARNWICK_SANITIZED") == "1",
                       reason="configures only: once, beside the release build, is enough"),
]


def configure(tmp_path, *defines):
    """Configures the native structures alone, with the system's prefixes hidden from find_*."""
    done = subprocess.run(
        ["cmake", "-S", ROOT, "-B", tmp_path / "build", "-DTARNWICK_BUILD_MODULE=OFF",
         "-DCMAKE_IGNORE_PREFIX_PATH=/;/usr;/usr/local", *defines],
        capture_output=True, text=True, timeout=600)
    return done.returncode, done.stdout + done.stderr


def fake_prefix(tmp_path):
    """A CRoaring installation of its own, made of the system's files."""
    library = next((p for p in pathlib.Path("/usr/lib").glob("*/libroaring.so") if p.exists()), None)
    if library is None or not SYSTEM_HEADERS.is_dir():
        pytest.skip("needs the system's CRoaring to copy")
    prefix = tmp_path / "croaring"
    shutil.copytree(SYSTEM_HEADERS, prefix / "include" / "roaring")
    (prefix / "lib").mkdir()
    (prefix / "lib" / "libroaring.so").symlink_to(library.resolve())
    return prefix


@pytest.mark.parametrize("root", [None, "empty"])
def test_missing_croaring_says_what_to_install(tmp_path, root):
    defines = []
    if root:
        (tmp_path / root).mkdir()
        defines.append(f"-DROARING_ROOT={tmp_path / root}")
    code, output = configure(tmp_path, *defines)
    assert code != 0
    text = " ".join(output.split())
    assert "install libroaring-dev (Debian/Ubuntu) or CRoaring's CMake package" in text
    assert "-DROARING_ROOT=" in text
    if root:
        assert str(tmp_path / root) in text


def test_roaring_root_points_at_another_installation(tmp_path):
    prefix = fake_prefix(tmp_path)
    code, output = configure(tmp_path, f"-DROARING_ROOT={prefix}")
    assert code == 0, output
    cache = (tmp_path / "build" / "CMakeCache.txt").read_text()
    assert f"ROARING_LIBRARY:FILEPATH={prefix}/lib/libroaring.so" in cache
    assert f"ROARING_INCLUDE_DIR:PATH={prefix}/include" in cache
