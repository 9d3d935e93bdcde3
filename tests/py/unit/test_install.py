"""Installation and build set-up: what a user meets before the first request."""

import os
import shutil
import subprocess
import sys

import pytest

import tarnix

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
SOURCE_TREE = os.path.exists(os.path.join(ROOT, "CMakeLists.txt"))


def test_package_without_its_engine_says_what_to_do(tmp_path):
    # The source tree as Python sees it from the repository root.
    package = os.path.dirname(tarnix.__file__)
    shutil.copytree(package, tmp_path / "tarnix", ignore=shutil.ignore_patterns("_tarnix*.so", "__pycache__"))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    p = subprocess.run([sys.executable, "-c", "import tarnix"], cwd=tmp_path, env=env, capture_output=True, timeout=60)
    assert p.returncode != 0
    last = p.stderr.strip().splitlines()[-1]
    assert last.startswith(b"ImportError: tarnix's native engine (tarnix._tarnix) is not built"), p.stderr
    assert b"install the package" in last and b"circular" not in p.stderr


def configure(tmp_path, *defines, env=None):
    cmake = shutil.which("cmake")
    build = tmp_path / f"build{len(list(tmp_path.iterdir()))}"
    # Ninja comes with the test venv; make may not be installed at all.
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    return subprocess.run(
        [cmake, "-S", ROOT, "-B", str(build), *generator, *defines],
        capture_output=True, text=True, timeout=300, env=dict(os.environ, **(env or {})),
    )


pytestmark_source = pytest.mark.skipif(not SOURCE_TREE or shutil.which("cmake") is None, reason="needs the source tree and cmake")


@pytestmark_source
@pytest.mark.parametrize(
    "defines, env, package",
    [
        ((), {"CXX": "/nonexistent/c++"}, "g++"),
        (("-DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON",), None, "libssl-dev"),
        (("-DCMAKE_DISABLE_FIND_PACKAGE_Python=ON",), None, "python3-dev"),
    ],
)
def test_missing_prerequisite_names_its_debian_package(tmp_path, defines, env, package):
    p = configure(tmp_path, *defines, env=env)
    assert p.returncode != 0
    assert f"apt-get install {package}" in " ".join(p.stderr.split())


def old_openssl(root):
    # Headers of OpenSSL 1.1.1 where 3.x is needed (Debian 11, Ubuntu 20.04).
    (root / "include/openssl").mkdir(parents=True)
    (root / "include/openssl/opensslv.h").write_text(
        '#define OPENSSL_VERSION_NUMBER 0x1010117fL\n#define OPENSSL_VERSION_TEXT "OpenSSL 1.1.1w"\n')
    (root / "include/openssl/ssl.h").write_text("")
    (root / "lib").mkdir()
    for name in ("libssl.so", "libcrypto.so"):
        (root / "lib" / name).write_text("")
    return ["-DTARNIX_BUILD_EXTENSION=OFF", f"-DOPENSSL_ROOT_DIR={root}"]


def old_python(root):
    # An interpreter that answers every question as Python 3.9 would.
    root.mkdir()
    exe = root / "python3"
    exe.write_text("#!/bin/sh\necho 3.9\n")
    exe.chmod(0o755)
    return [f"-DPython_EXECUTABLE={exe}"]


@pytestmark_source
@pytest.mark.parametrize(
    "make, message",
    [
        (old_openssl, "needs OpenSSL 3.0 or later, found OpenSSL 1.1.1"),
        (old_python, "needs Python 3.10 or later, found Python 3.9"),
    ],
)
def test_too_old_prerequisite_says_which_version_is_needed(tmp_path, make, message):
    p = configure(tmp_path, *make(tmp_path / "fake"))
    assert p.returncode != 0
    assert message in " ".join(p.stderr.split()), p.stderr


@pytestmark_source
def test_test_trust_store_does_not_outlive_its_configure(tmp_path):
    first = configure(tmp_path, "-DTARNIX_BUILD_EXTENSION=OFF", "-DTARNIX_TEST_TRUST_STORE=/tmp/test-ca.pem")
    assert first.returncode == 0, first.stderr
    assert "test trust store first: /tmp/test-ca.pem" in first.stdout
    # Reconfigure the same tree, as a later release build would.
    build = tmp_path / "build0"
    again = subprocess.run([shutil.which("cmake"), str(build)], capture_output=True, text=True, timeout=300)
    assert again.returncode == 0, again.stderr
    assert "test trust store" not in again.stdout
    assert "TARNIX_TEST_TRUST_STORE" not in (build / "CMakeCache.txt").read_text()
