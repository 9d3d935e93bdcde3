"""Fixtures that start servers for a test and stop them after it."""

import os
from pathlib import Path

import pytest

from support import pki
from support.scripted import ScriptedServer
from support.tls_servers import TlsServer


@pytest.fixture
def serve():
    """serve(handler, host=...) starts a scripted server for the test."""
    servers = []

    def start_server(handler, host="127.0.0.1"):
        server = ScriptedServer(handler, host)
        servers.append(server)
        return server

    yield start_server
    for server in servers:
        server.close()
    for server in servers:
        assert not server.errors, server.errors


@pytest.fixture
def tls_serve(tmp_path):
    """tls_serve(cert, chain, kind=TlsServer, **options) starts a TLS server
    for the test, its files under tmp_path."""
    servers = []

    def start(cert, chain=(), kind=TlsServer, **options):
        server = kind(cert, chain, workdir=tmp_path / f"srv{len(servers)}", **options)
        servers.append(server)
        return server

    yield start
    for s in servers:
        s.close()


@pytest.fixture
def system_store():
    """Writes the test system trust store (roots and CRLs in one PEM file);
    restored afterwards. Skips when the build has no test store."""
    path = os.environ.get("TARNIX_TEST_TRUST_STORE")
    if not path:
        pytest.skip("build without a test trust store (TARNIX_TEST_TRUST_STORE)")
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    old = path.read_bytes() if path.exists() else None

    def write(*pems):
        tmp = path.with_suffix(".tmp")
        tmp.write_bytes(b"".join(pems))
        os.replace(tmp, path)  # a new file each time, never half written

    write()
    yield write
    if old is None:
        path.unlink(missing_ok=True)
    else:
        write(old)


@pytest.fixture(scope="module")
def ca():
    """A root and an intermediate under it; the CA file holds the root."""
    root = pki.make_ca("tarnix test root")
    inter = pki.make_ca("tarnix test intermediate", root)
    return root, inter


@pytest.fixture
def ca_file(tmp_path, ca):
    path = tmp_path / "ca.pem"
    path.write_bytes(ca[0].pem)
    return path
