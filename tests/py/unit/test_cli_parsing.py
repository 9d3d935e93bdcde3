"""``python -m tarnix`` with no server: argument errors, refused
connections, and the pieces of its report."""

import os
import sys

import pytest

from support.client import cli
from support.server import closed_port
from tarnix import _cli
from tarnix._cli import _percentile, _Progress


@pytest.mark.parametrize(
    "args, code, text",
    [
        ([f"http://127.0.0.1:{closed_port()}/"], 1, b"ConnectError: connection failed"),
        (["ftp://127.0.0.1/"], 2, b"unsupported URL scheme"),
        (["-X", "TRACE", "http://127.0.0.1:1/"], 2, b"unsupported HTTP method"),
        (["-H", "nocolon", "http://127.0.0.1:1/"], 2, b"bad header"),
        (["-d", "a=1", "-F", "b=2", "http://127.0.0.1:1/"], 2, b"use only one of -d, -F"),
        (["-F", "novalue", "http://127.0.0.1:1/"], 2, b"bad form field"),
        (["-F", "f=@/nonexistent/file", "http://127.0.0.1:1/"], 2, b"cannot read"),
        (["-u", "nopassword", "http://127.0.0.1:1/"], 2, b"use -u user:password"),
        # A device would be read for ever before anything is sent.
        (["-F", "f=@/dev/zero", "http://127.0.0.1:1/"], 2, b"not a regular file"),
        (["-d", "@/dev/urandom", "http://127.0.0.1:1/"], 2, b"not a regular file"),
    ],
)
def test_errors_print_one_line(args, code, text):
    p = cli(*args)
    assert p.returncode == code
    assert text in p.stderr and p.stderr.count(b"\n") == 1 and b"Traceback" not in p.stderr


def test_load_mode_when_every_request_fails():
    p = cli("-n", "20", "-c", "4", f"http://127.0.0.1:{closed_port()}/")
    out = p.stdout.decode()
    assert p.returncode == 1
    assert "all 20 requests failed" in out and "errors: ConnectError x 20" in out
    assert "completed" not in out and "requests/s" not in out and "latency" not in out


def test_percentiles_are_nearest_rank():
    ten = list(range(1, 11))
    hundred = list(range(1, 101))
    assert [_percentile(ten, p) for p in (50, 90, 99)] == [5, 9, 10]
    assert [_percentile(hundred, p) for p in (50, 90, 99)] == [50, 90, 99]
    assert _percentile([7.5], 99) == 7.5


def test_progress_line_fits_any_width():
    bar = _Progress(12345, sys.stderr)
    for columns in (1, 8, 20, 40, 200):
        line = bar.line(12345, columns)
        assert len(line) <= max(columns - 1, 0)
    assert bar.line(0, 40).startswith("[.") and bar.line(12345, 40).endswith("] 12345/12345")


def test_reads_from_a_pipe_are_bounded(monkeypatch):
    monkeypatch.setattr(_cli, "_MAX_STREAM_READ", 1000)
    for size, fits in ((1000, True), (1001, False)):
        r, w = os.pipe()
        os.write(w, b"x" * size)
        os.close(w)
        with os.fdopen(r, "rb") as fh:
            if fits:
                assert _cli._read_source(fh, "-") == b"x" * size
            else:
                with pytest.raises(_cli._UsageError, match="more than 1000 bytes"):
                    _cli._read_source(fh, "-")
