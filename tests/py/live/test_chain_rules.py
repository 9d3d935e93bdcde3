"""The links of a server's chain, end to end: every certificate must be
signed by the next one the server sends, and the certificate that links to
the CA file must be valid now, like every other."""

import pytest

from support import pki
from support.engine import fetch, refused
from support.engine import tls_pool as make_pool


@pytest.fixture
def ca_files(tmp_path, ca):
    """A CA file holding the root, and one holding the intermediate."""
    root, inter = ca
    files = {"root": tmp_path / "root.pem", "intermediate": tmp_path / "inter.pem"}
    files["root"].write_bytes(root.pem)
    files["intermediate"].write_bytes(inter.pem)
    return files


def check(server, ca_file, ok):
    """The request succeeds, or the handshake fails on both sides."""
    pool = make_pool(server.port, ca_file)
    if ok:
        assert fetch(pool).status == 200
    else:
        assert refused(pool)
        assert server.next_event().startswith("handshake failed")


@pytest.mark.parametrize("forged", [False, True], ids=["genuine", "forged"])
def test_every_link_is_signed_by_the_next_certificate(tls_serve, ca, ca_files, forged):
    root, inter = ca
    attacker = pki.make_key() if forged else None
    # A leaf signed by an attacker's key, naming the genuine intermediate and
    # its key identifier, sent with that intermediate: anyone holding a public
    # intermediate could otherwise speak for any host.
    leaf = pki.make_leaf(inter, signer_key=attacker)
    check(tls_serve(leaf, [inter]), ca_files["root"], not forged)
    # One link up: an intermediate forged in the genuine one's name issues a
    # sound leaf.
    sub = pki.make_ca("tarnix test sub", inter, signer_key=attacker)
    check(tls_serve(pki.make_leaf(sub), [sub, inter]), ca_files["root"], not forged)


LONG_AGO = dict(not_before=pki.NOW - 30 * pki.DAY, not_after=pki.NOW - pki.DAY)
LATER = dict(not_before=pki.NOW + pki.DAY, not_after=pki.NOW + 30 * pki.DAY)


@pytest.mark.parametrize(
    "leaf_dates, inter_dates, ca_file, ok",
    [
        ({}, {}, "root", True),
        ({}, LONG_AGO, "root", False),
        ({}, None, "intermediate", True),
        (LONG_AGO, None, "intermediate", False),
        (LATER, None, "intermediate", False),
    ],
    ids=["sound chain", "expired intermediate", "leaf alone", "expired leaf alone", "not yet valid leaf alone"],
)
def test_the_certificate_that_links_to_the_ca_file_must_be_valid(
    tls_serve, ca, ca_files, leaf_dates, inter_dates, ca_file, ok
):
    """`inter_dates` None sends the leaf alone; otherwise it goes with an
    intermediate of the same name and key as the genuine one, valid then."""
    root, inter = ca
    chain = []
    if inter_dates is not None:
        chain = [pki.make_ca("tarnix test intermediate", root, key=inter.key, **inter_dates) if inter_dates else inter]
    check(tls_serve(pki.make_leaf(inter, **leaf_dates), chain), ca_files[ca_file], ok)
