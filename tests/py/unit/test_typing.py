"""The package and the examples in the README and docs/ pass mypy --strict."""

import glob
import os
import re
import shutil
import subprocess
import sys

import pytest

import tarnix

ROOT = os.path.join(os.path.dirname(__file__), "..", "..", "..")


def test_mypy_strict_on_the_package_and_the_documented_examples(tmp_path):
    pytest.importorskip("mypy")
    examples = []
    for page in [os.path.join(ROOT, "README.md"), *sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))]:
        with open(page, encoding="utf-8") as f:
            examples += re.findall(r"```python\n(.*?)```", f.read(), re.S)
    # The quick example, the API's two, proxies, Unix sockets, client certificates, downloads.
    assert len(examples) >= 7
    for i, code in enumerate(examples):
        (tmp_path / f"example_{i}.py").write_text(code)
    # A copy of the package's sources (the stub stands for the engine), so
    # that mypy checks the installed files without taking site-packages for
    # the project.
    shutil.copytree(os.path.dirname(tarnix.__file__), tmp_path / "tarnix",
                    ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "tarnix", *sorted(str(p) for p in tmp_path.glob("example_*.py"))],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
