"""HTTPS end to end: handshake parameters, trust decisions, host checks,
connection reuse and the end of a TLS stream."""

import asyncio
import base64
import gc
import hashlib
import shutil
import socket
import ssl
import struct
import time

import pytest
from cryptography.hazmat.primitives.asymmetric import ec, ed448
from cryptography.x509.oid import ExtendedKeyUsageOID

from support import pki
import tarnix
from tarnix import _tarnix
from support.engine import POST, fetch, refused
from support.server import read_head
from support.engine import tls_pool as make_pool
from support.tls_servers import (
    WAIT, HelloCatcher, NginxServer, OpenSslServer, find_nginx, respond_and_close, respond_with_body_digest,
)
from tarnix import ProtocolError, TransportError

CA_LOAD_FAILED = "tarnix: failed to load the TLS CA bundle"


# -- the ClientHello ---------------------------------------------------------------

MLKEM, P256, P384, X25519 = 0x11EC, 0x17, 0x18, 0x1D


def client_hello(host):
    try:
        catcher = HelloCatcher("::1" if ":" in host else "127.0.0.1")
    except OSError:
        pytest.skip(f"cannot listen on {host}")
    try:
        refused(make_pool(catcher.port, host=host))
        hello = catcher.hello.get(timeout=WAIT)
    finally:
        catcher.close()
    assert not isinstance(hello, Exception), hello
    return hello


def test_client_hello_on_the_wire():
    hello = client_hello("Tarnix.localhost")
    assert hello["record_version"] == 0x0301 and hello["legacy_version"] == 0x0303
    assert hello["session_id_len"] == 32
    assert hello["compression"] == [0]
    # The library lists its TLS 1.3 suites before the TLS 1.2 ones and adds
    # the renegotiation SCSV.
    assert [s for s in hello["cipher_suites"] if s != 0x00FF] == [
        0x1303, 0x1301, 0x1302, 0xCCA9, 0xCCA8, 0xC02B, 0xC02F, 0xC02C, 0xC030
    ]
    assert hello["versions"] == [0x0304, 0x0303]
    assert hello["server_name"] == b"Tarnix.localhost"
    assert hello["psk_modes"] == [1]
    # In order; SHA-1 only where the library's default security level allows it.
    wanted = [0x0403, 0x0503, 0x0603, 0x0401, 0x0501, 0x0601, 0x0804, 0x0805, 0x0806, 0x0809, 0x080A, 0x080B, 0x0201,
              0x0807]
    sigalgs = hello["signature_algorithms"]
    assert sigalgs == [s for s in wanted if s in sigalgs]
    assert set(wanted) - set(sigalgs) <= {0x0201}
    if ssl.OPENSSL_VERSION_INFO >= (3, 5):  # the hybrid group and several shares
        assert MLKEM in hello["groups"]
    if MLKEM in hello["groups"]:
        assert hello["groups"] == [MLKEM, P256, P384, X25519]
        assert hello["key_shares"] == [MLKEM, P256, P384, X25519]
    else:
        assert hello["groups"] == [P256, P384, X25519]
        assert hello["key_shares"] == [P256]
    # status_request: a stapled OCSP response is asked for.
    assert 5 in hello["extensions"]
    # No ALPN, session ticket, pre-shared key, early data or certificate compression.
    assert not {16, 35, 41, 42, 27} & set(hello["extensions"])


@pytest.mark.parametrize("host", ["127.0.0.1", "::1"])
def test_no_server_name_for_an_address(host):
    assert 0 not in client_hello(host)["extensions"]


# -- trust ---------------------------------------------------------------------------

def test_chain_anchored_by_the_ca_file(tls_serve, ca, ca_file):
    root, inter = ca
    # The system store does not know this root, so success means the bundle
    # alone decided.
    server = tls_serve(pki.make_leaf(inter), [inter])
    assert fetch(make_pool(server.port, ca_file)).status == 200
    # The intermediate itself in the CA file anchors too, also when the server
    # sends nothing but its leaf.
    only_inter = ca_file.parent / "inter.pem"
    only_inter.write_bytes(inter.pem)
    server = tls_serve(pki.make_leaf(inter))
    assert fetch(make_pool(server.port, only_inter)).status == 200
    # A self-signed leaf placed in the CA file is trusted as itself.
    selfsigned = pki.make_leaf(None)
    pinned = ca_file.parent / "pinned.pem"
    pinned.write_bytes(selfsigned.pem)
    server = tls_serve(selfsigned)
    assert fetch(make_pool(server.port, pinned)).status == 200


@pytest.mark.parametrize(
    "case",
    ["self-signed", "expired", "not yet valid", "wrong root", "leaf as issuer", "client auth only",
     "rsa 8192"],
)
def test_untrusted_chains_fail(tls_serve, ca, ca_file, case):
    root, inter = ca
    chain = [inter]
    if case == "self-signed":
        leaf, chain = pki.make_leaf(None), []
    elif case == "expired":
        leaf = pki.make_leaf(inter, not_before=pki.NOW - 30 * pki.DAY, not_after=pki.NOW - pki.DAY)
    elif case == "not yet valid":
        leaf = pki.make_leaf(inter, not_before=pki.NOW + pki.DAY)
    elif case == "wrong root":
        # Same names, other keys: the signatures do not check out.
        imposter = pki.make_ca("tarnix test intermediate", pki.make_ca("tarnix test root"))
        leaf, chain = pki.make_leaf(imposter), [imposter]
    elif case == "leaf as issuer":
        # A leaf of the trusted chain signs a certificate for another name.
        honest = pki.make_leaf(inter, dns=["honest.localhost"])
        leaf, chain = pki.make_leaf(honest), [honest, inter]
    elif case == "client auth only":
        leaf = pki.make_leaf(inter, eku=[ExtendedKeyUsageOID.CLIENT_AUTH])
    elif case == "rsa 8192":
        # 1,038 bytes of public key, above the 600-byte limit.
        leaf = pki.make_leaf(inter, key=rsa8192_key())
    server = tls_serve(leaf, chain)
    assert refused(make_pool(server.port, ca_file))
    assert server.next_event().startswith("handshake failed")


_rsa8192 = []


def rsa8192_key():
    if not _rsa8192:
        _rsa8192.append(pki.make_key("rsa8192"))
    return _rsa8192[0]


@pytest.mark.parametrize("kind", ["rsa4096", "ed25519", "ec384", "ec521"])
def test_leaf_key_kinds_within_the_limit(tls_serve, ca, ca_file, kind):
    root, inter = ca
    server = tls_serve(pki.make_leaf(inter, key_kind=kind), [inter])
    assert fetch(make_pool(server.port, ca_file)).status == 200


def test_no_extended_key_usage_is_fine(tls_serve, ca, ca_file):
    root, inter = ca
    server = tls_serve(pki.make_leaf(inter, eku=None), [inter])
    assert fetch(make_pool(server.port, ca_file)).status == 200


def test_failed_handshake_gives_the_slot_back(tls_serve, ca, ca_file):
    root, inter = ca
    server = tls_serve(pki.make_leaf(inter, dns=["elsewhere.localhost"]), [inter])
    pool = make_pool(server.port, ca_file, max_connections=1)
    assert refused(pool)
    # With the only slot still counted as open, this would wait forever.
    server.use(pki.make_leaf(inter), [inter])
    assert fetch(pool).status == 200


# -- the system trust store -----------------------------------------------------------

def test_chain_only_the_system_store_trusts(tls_serve, ca, system_store):
    store_root = pki.make_ca("store root")
    system_store(store_root.pem)
    server = tls_serve(pki.make_leaf(store_root), respond=respond_and_close)
    pool = make_pool(server.port)  # no CA file: the bundle starts empty
    assert fetch(pool).status == 200
    # The store no longer trusts the root, but the pool's bundle was rebuilt
    # from it: the next handshake is anchored there without asking the store.
    system_store()
    assert fetch(pool).status == 200
    assert server.handshakes == 2
    assert refused(make_pool(server.port))


def test_store_acceptance_replaces_the_ca_file(tls_serve, ca, ca_file, system_store):
    root, inter = ca
    store_root = pki.make_ca("store root")
    system_store(store_root.pem)
    server = tls_serve(pki.make_leaf(store_root), respond=respond_and_close)
    pool = make_pool(server.port, ca_file)
    assert fetch(pool).status == 200
    # The file's root is gone from the bundle now.
    server.use(pki.make_leaf(inter), [inter])
    assert refused(pool)
    assert fetch(make_pool(server.port, ca_file)).status == 200


@pytest.mark.parametrize("case", ["revoked", "client auth only", "expired", "self-signed"])
def test_system_store_rejections(tls_serve, system_store, case):
    store_root = pki.make_ca("store root")
    good = pki.make_leaf(store_root)
    if case == "revoked":
        leaf = pki.make_leaf(store_root)
        system_store(store_root.pem, pki.make_crl(store_root, [leaf]))
    else:
        system_store(store_root.pem)
        if case == "client auth only":
            leaf = pki.make_leaf(store_root, eku=[ExtendedKeyUsageOID.CLIENT_AUTH])
        elif case == "expired":
            leaf = pki.make_leaf(store_root, not_before=pki.NOW - 30 * pki.DAY, not_after=pki.NOW - pki.DAY)
        else:
            leaf = pki.make_leaf(None)
    server = tls_serve(leaf)
    assert refused(make_pool(server.port))
    # The same store accepts an ordinary leaf of that root (a CRL that does
    # not list it changes nothing).
    server.use(good)
    assert fetch(make_pool(server.port)).status == 200


# -- host checks -----------------------------------------------------------------------

@pytest.mark.parametrize(
    "host, dns, cn, ok",
    [
        ("localhost", ["other.localhost"], "localhost", False),  # commonName ignored beside names
        ("localhost", None, "localhost", True),  # no names: the commonName counts
        ("localhost", ["LocalHost"], None, True),
        ("a.wild.localhost", ["*.wild.localhost"], None, True),
        ("A.Wild.localhost", ["*.WILD.localhost"], None, True),
        ("wild.localhost", ["*.wild.localhost"], None, False),
        ("a.b.wild.localhost", ["*.wild.localhost"], None, False),
        ("ab.wild.localhost", ["a*.wild.localhost"], None, False),
        ("127.0.0.1", ["localhost"], "127.0.0.1", False),
        ("127.0.0.1", None, "127.0.0.1", False),  # an address is never a commonName
        ("127.0.0.1", ["127.0.0.1"], None, True),  # an IP literal as a dNSName entry
    ],
)
def test_host_check(tls_serve, ca, ca_file, host, dns, cn, ok):
    root, inter = ca
    server = tls_serve(pki.make_leaf(inter, dns=dns, cn=cn), [inter])
    pool = make_pool(server.port, ca_file, host=host)
    if ok:
        assert fetch(pool).status == 200
    else:
        assert refused(pool)


@pytest.mark.parametrize("ips, ok", [(["::1", "127.0.0.1"], True), (["127.0.0.2", "::ffff:127.0.0.1"], False)])
def test_address_host_matches_address_entries(tls_serve, ca, ca_file, ips, ok):
    root, inter = ca
    server = tls_serve(pki.make_leaf(inter, dns=[], ips=ips, cn="127.0.0.1"), [inter])
    pool = make_pool(server.port, ca_file, host="127.0.0.1")
    assert fetch(pool).status == 200 if ok else refused(pool)


# -- TLS 1.2 ---------------------------------------------------------------------------

@pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command")
@pytest.mark.parametrize("key_kind, suite", [("ec256", b"ECDHE-ECDSA-CHACHA20-POLY1305"),
                                             ("rsa2048", b"ECDHE-RSA-CHACHA20-POLY1305")])
def test_tls12_only_server(tmp_path, ca, ca_file, key_kind, suite):
    root, inter = ca
    server = OpenSslServer(pki.make_leaf(inter, key_kind=key_kind), [inter], workdir=tmp_path)
    try:
        response = fetch(make_pool(server.port, ca_file))
        assert response.status == 200 and b"TLSv1.2, Cipher is " + suite in response.body
    finally:
        server.close()


# -- a real server ------------------------------------------------------------------------

@pytest.fixture
def nginx(tmp_path):
    if find_nginx() is None:
        pytest.skip("no nginx (scripts/setup.sh installs it)")
    servers = []

    def start(cert, chain, protocols):
        servers.append(NginxServer(cert, chain, protocols, workdir=tmp_path / f"nginx{len(servers)}"))
        return servers[-1]

    yield start
    for s in servers:
        s.close()


@pytest.mark.parametrize(
    "host, protocols, key_kind, answer",
    [
        ("localhost", "TLSv1.2", "ec256", "TLSv1.2 ECDHE-ECDSA-CHACHA20-POLY1305 sni=localhost"),
        ("localhost", "TLSv1.2", "rsa2048", "TLSv1.2 ECDHE-RSA-CHACHA20-POLY1305 sni=localhost"),
        ("localhost", "TLSv1.3", "ec521", "TLSv1.3 TLS_CHACHA20_POLY1305_SHA256 sni=localhost"),
        ("127.0.0.1", "TLSv1.3", "ec256", "TLSv1.3 TLS_CHACHA20_POLY1305_SHA256 sni="),
        ("[::1]", "TLSv1.2", "ec384", "TLSv1.2 ECDHE-ECDSA-CHACHA20-POLY1305 sni="),
    ],
)
def test_nginx(nginx, ca, ca_file, host, protocols, key_kind, answer):
    root, inter = ca
    leaf = pki.make_leaf(inter, dns=["localhost"], ips=["127.0.0.1", "::1"], key_kind=key_kind)
    server = nginx(leaf, [inter], protocols)
    if host == "[::1]" and not server.ipv6:
        pytest.skip("no IPv6 loopback")

    async def get():
        async with tarnix.Client(verify=str(ca_file)) as client:
            return await client.get(f"https://{host}:{server.port}/")

    assert asyncio.run(get()).text == answer + "\n"


# -- connections -------------------------------------------------------------------------

def test_reused_connection_runs_no_new_handshake(tls_serve, ca, ca_file):
    root, inter = ca
    server = tls_serve(pki.make_leaf(inter), [inter])
    pool = make_pool(server.port, ca_file)
    first, second = fetch(pool), fetch(pool)
    assert first.body == b"hello 1 TLSv1.3"
    assert second.body == b"hello 2 TLSv1.3"
    assert server.handshakes == 1


def test_post_bodies_around_one_record(tls_serve, ca, ca_file):
    root, inter = ca
    server = tls_serve(pki.make_leaf(inter), [inter], respond=respond_with_body_digest)
    pool = make_pool(server.port, ca_file, max_connections=1)

    async def post(body):
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        _tarnix.submit(pool, POST, "/", [], body, None, None, future, loop)
        return await asyncio.wait_for(future, WAIT)

    for size in (100, 16384, 16385, 3 << 20):
        body = bytes(range(256)) * (size // 256) + b"t" * (size % 256)
        out = asyncio.run(post(body))
        assert out.body == hashlib.sha256(body).hexdigest().encode(), size
    assert server.handshakes == 1


@pytest.mark.parametrize("ending", ["graceful", "reset"])
def test_answer_before_the_body_was_sent(tls_serve, ca, ca_file, ending):
    # A server with a size limit answers after the head and goes away
    # without reading the body.
    root, inter = ca

    def respond(server, conn):
        read_head(conn)
        conn.sendall(b"HTTP/1.1 413 Payload Too Large\r\nContent-Length: 9\r\nConnection: close\r\n\r\ntoo large")
        if ending == "graceful":
            conn.shutdown(socket.SHUT_WR)
            time.sleep(0.2)
        else:
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    server = tls_serve(pki.make_leaf(inter), [inter], respond=respond)
    pool = make_pool(server.port, ca_file)

    async def post():
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        _tarnix.submit(pool, POST, "/", [], b"x" * (32 << 20), None, None, future, loop)
        return await asyncio.wait_for(future, WAIT)

    out = asyncio.run(post())
    assert (out.status, out.body) == (413, b"too large")


def test_destroying_an_idle_connection_sends_close_notify(tls_serve, ca, ca_file):
    root, inter = ca
    server = tls_serve(pki.make_leaf(inter), [inter])
    pool = make_pool(server.port, ca_file)
    assert fetch(pool).status == 200
    del pool
    gc.collect()
    assert server.next_event() == "close_notify"


@pytest.mark.parametrize("close_notify", [True, False])
def test_body_to_the_end_of_the_stream(tls_serve, ca, ca_file, close_notify):
    root, inter = ca

    def respond(server, conn):
        respond_and_close(server, conn, close_notify)

    server = tls_serve(pki.make_leaf(inter), [inter], respond=respond)
    pool = make_pool(server.port, ca_file)
    if close_notify:
        assert fetch(pool).body == b"body up to the end"
    else:
        # A truncation attack looks exactly like this.
        with pytest.raises(TransportError) as exc:
            fetch(pool)
        assert str(exc.value) == "connection reset while reading response"


@pytest.mark.parametrize("line_len, ok", [(16645, True), (16646, False)])
def test_head_line_limit_is_one_record(tls_serve, ca, ca_file, line_len, ok):
    root, inter = ca
    # The header line with its CRLF is line_len bytes.
    header = b"X-Long: " + b"a" * (line_len - len(b"X-Long: ") - 2) + b"\r\n"

    def respond(server, conn):
        conn.recv(65536)
        conn.sendall(b"HTTP/1.1 200 OK\r\n" + header + b"Content-Length: 2\r\n\r\nok")
        conn.unwrap()

    server = tls_serve(pki.make_leaf(inter), [inter], respond=respond)
    pool = make_pool(server.port, ca_file)
    if ok:
        assert fetch(pool).body == b"ok"
    else:
        with pytest.raises(ProtocolError) as exc:
            fetch(pool)
        assert str(exc.value) == "malformed HTTP response framing"


# -- CA files ----------------------------------------------------------------------------

def _pem_block(der: bytes) -> bytes:
    return b"-----BEGIN CERTIFICATE-----\n" + base64.encodebytes(der) + b"-----END CERTIFICATE-----\n"


@pytest.mark.parametrize(
    "name", ["missing", "directory", "unterminated", "bad padding", "empty block", "not base64"]
)
def test_bad_ca_files(tmp_path, ca, name):
    root, _ = ca
    path = tmp_path / "ca.pem"
    good = root.pem
    if name == "directory":
        path.mkdir()
    elif name == "unterminated":
        path.write_bytes(good + b"-----BEGIN CERTIFICATE-----\n" + base64.encodebytes(root.der))
    elif name == "bad padding":
        body = base64.b64encode(root.der).rstrip(b"=")
        path.write_bytes(b"-----BEGIN CERTIFICATE-----\n" + body + b"===\n-----END CERTIFICATE-----\n")
    elif name == "empty block":
        path.write_bytes(good + b"-----BEGIN CERTIFICATE-----\n\n-----END CERTIFICATE-----\n")
    elif name == "not base64":
        path.write_bytes(b"-----BEGIN CERTIFICATE-----\nMII?\n-----END CERTIFICATE-----\n")
    with pytest.raises(RuntimeError) as exc:
        make_pool(1, path)
    assert str(exc.value) == CA_LOAD_FAILED


def test_ca_file_skips_certificates_it_cannot_use(tmp_path, tls_serve, ca):
    root, inter = ca
    # Same subject as the root, other key, expired.
    expired_twin = pki.make_leaf(None, cn="tarnix test root", dns=None, eku=None,
                                 not_before=pki.NOW - 60 * pki.DAY, not_after=pki.NOW - pki.DAY)
    unknown_key = pki.make_leaf(root, key=ed448.Ed448PrivateKey.generate())
    unknown_curve = pki.make_leaf(root, key=ec.generate_private_key(ec.SECP224R1()))
    later_twin = pki.make_ca("tarnix test root")
    path = tmp_path / "ca.pem"
    # The expired twin would take the root's subject if it were kept; the
    # later twin must lose to the root, which came first.
    path.write_bytes(
        b"# comments and other blocks are never looked at\n"
        + expired_twin.pem
        + unknown_key.pem
        + unknown_curve.pem
        + root.pem
        + later_twin.pem
    )
    server = tls_serve(pki.make_leaf(inter), [inter])
    assert fetch(make_pool(server.port, path)).status == 200
