"""The links of a server's chain, end to end: every certificate must be
signed by the next one the server sends, and the certificate that links to
the CA file must be valid now, like every other."""

import pytest

import pki
from test_tls import fetch, make_pool, refused
from tls_servers import TlsServer


@pytest.fixture(scope="module")
def chain():
    """A root, an intermediate under it, and a CA file for each."""
    root = pki.make_ca("tarnix chain root")
    inter = pki.make_ca("tarnix chain intermediate", root)
    return root, inter


@pytest.fixture
def ca_files(tmp_path, chain):
    root, inter = chain
    files = {"root": tmp_path / "root.pem", "intermediate": tmp_path / "inter.pem"}
    files["root"].write_bytes(root.pem)
    files["intermediate"].write_bytes(inter.pem)
    return files


@pytest.fixture
def serve(tmp_path):
    servers = []

    def start(cert, chain=()):
        server = TlsServer(cert, chain, workdir=tmp_path / f"srv{len(servers)}")
        servers.append(server)
        return server

    yield start
    for s in servers:
        s.close()


def check(server, ca_file, ok):
    """The request succeeds, or the handshake fails on both sides."""
    pool = make_pool(server.port, ca_file)
    if ok:
        assert fetch(pool).status == 200
    else:
        assert refused(pool)
        assert server.next_event().startswith("handshake failed")


@pytest.mark.parametrize("forged", [False, True], ids=["genuine", "forged"])
def test_every_link_is_signed_by_the_next_certificate(serve, chain, ca_files, forged):
    root, inter = chain
    attacker = pki.make_key() if forged else None
    # A leaf signed by an attacker's key, naming the genuine intermediate and
    # its key identifier, sent with that intermediate: anyone holding a public
    # intermediate could otherwise speak for any host.
    leaf = pki.make_leaf(inter, signer_key=attacker)
    check(serve(leaf, [inter]), ca_files["root"], not forged)
    # One link up: an intermediate forged in the genuine one's name issues a
    # sound leaf.
    sub = pki.make_ca("tarnix chain sub", inter, signer_key=attacker)
    check(serve(pki.make_leaf(sub), [sub, inter]), ca_files["root"], not forged)


LONG_AGO = dict(not_before=pki.NOW - 30 * pki.DAY, not_after=pki.NOW - pki.DAY)
LATER = dict(not_before=pki.NOW + pki.DAY, not_after=pki.NOW + 30 * pki.DAY)


@pytest.mark.parametrize(
    "case, ok",
    [
        ("sound leaf, sound intermediate", True),
        ("sound leaf, expired intermediate", False),
        ("sound leaf alone", True),
        ("expired leaf alone", False),
        ("not yet valid leaf alone", False),
    ],
)
def test_the_certificate_that_links_to_the_ca_file_must_be_valid(serve, chain, ca_files, case, ok):
    root, inter = chain
    if "intermediate" in case:
        # Same name and key as the one in the CA file's chain, other dates.
        sent = inter if case.endswith("sound intermediate") else pki.make_ca(
            "tarnix chain intermediate", root, key=inter.key, **LONG_AGO)
        server = serve(pki.make_leaf(inter), [sent])
        ca_file = ca_files["root"]
    else:
        dates = LONG_AGO if "expired" in case else LATER if "not yet" in case else {}
        server = serve(pki.make_leaf(inter, **dates))
        ca_file = ca_files["intermediate"]
    check(server, ca_file, ok)
