"""The package and the README's examples pass mypy --strict."""

import os
import re
import shutil
import subprocess
import sys

import pytest

import tarnix

README = os.path.join(os.path.dirname(__file__), "..", "..", "..", "README.md")


def test_mypy_strict_on_the_package_and_the_readme_examples(tmp_path):
    pytest.importorskip("mypy")
    with open(README, encoding="utf-8") as f:
        text = f.read()
    api = text[text.index("### The API"):text.index("### The command line")]
    examples = re.findall(r"```python\n(.*?)```", api, re.S)
    assert len(examples) >= 2
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
