"""Client certificates: shown to servers that ask for one, refused ones
reported as such, and files that cannot be used refused when the client is made."""

import asyncio
import ssl
import subprocess
import sys

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.x509.oid import ExtendedKeyUsageOID

import tarnix
from support import pki
from support.client import ENV
from support.scripted import tunnel_to
from support.tls_servers import OpenSslServer, TlsServer

PASSWORD = "s3cret pass"
CLIENT_AUTH = (ExtendedKeyUsageOID.CLIENT_AUTH,)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("client-cert")
    server_ca = pki.make_ca("tarnix server CA")
    client_ca = pki.make_ca("tarnix client CA")
    stranger_ca = pki.make_ca("tarnix stranger CA")
    client = pki.make_leaf(client_ca, dns=None, cn="tarnix client", eku=CLIENT_AUTH)
    stranger = pki.make_leaf(stranger_ca, dns=None, cn="tarnix stranger", eku=CLIENT_AUTH)
    other_key = pki.make_key()
    f = {"dir": d, "server_leaf": pki.make_leaf(server_ca)}
    for name, data in {
        "server_ca": server_ca.pem,
        "client_ca": client_ca.pem,
        "cert": client.pem,
        "key": client.key_pem,
        "combined": client.key_pem + client.pem,  # key first: order does not matter
        "key_enc": client.key.private_bytes(
            serialization.Encoding.PEM,
            serialization.PrivateFormat.PKCS8,
            serialization.BestAvailableEncryption(PASSWORD.encode()),
        ),
        "stranger": stranger.pem + stranger.key_pem,
        "other_key": other_key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
        ),
        "garbage": b"not a certificate\n",
        "empty": b"",
    }.items():
        (d / name).write_bytes(data)
        f[name] = str(d / name)
    return f


@pytest.fixture(scope="module", params=["tls1.3", "tls1.2"])
def s_server(request, files, tmp_path_factory):
    options = ["-Verify", "1", "-CAfile", files["client_ca"]]
    if request.param == "tls1.2":
        options.append("-tls1_2")
    server = OpenSslServer(files["server_leaf"], workdir=tmp_path_factory.mktemp("s_server"), options=options)
    yield server
    server.close()


@pytest.mark.parametrize("entry", ["Client", "SyncClient", "get", "cli", "tunnel"])
def test_certificate_shown_to_openssl_s_server(files, s_server, entry, serve):
    url = f"https://localhost:{s_server.port}/"
    verify = files["server_ca"]
    if entry == "Client":

        async def go():
            async with tarnix.Client(verify=verify, cert=files["combined"]) as client:
                return (await client.get(url)).text

        body = asyncio.run(go())
    elif entry == "SyncClient":
        with tarnix.SyncClient(verify=verify, cert=(files["cert"], files["key"])) as client:
            body = client.get(url).text
    elif entry == "get":
        body = tarnix.get(url, verify=verify, cert=(files["cert"], files["key_enc"], PASSWORD)).text
    elif entry == "tunnel":
        # Through a proxy's tunnel the certificate still goes to the origin.
        proxy = serve(tunnel_to(s_server.port))
        with tarnix.SyncClient(verify=verify, cert=files["combined"], proxy=f"http://127.0.0.1:{proxy.port}") as client:
            body = client.get(url).text
    else:
        p = subprocess.run(
            [sys.executable, "-m", "tarnix", "--cacert", verify, "--cert", files["cert"], "--key", files["key_enc"],
             "--pass", PASSWORD, url],
            capture_output=True, env=ENV, timeout=60,
        )
        assert p.returncode == 0, p.stderr
        body = p.stdout.decode()
    # The status page s_server writes names the certificate it was shown.
    assert "Client certificate" in body and "tarnix client" in body


@pytest.mark.parametrize("version", [ssl.TLSVersion.TLSv1_3, ssl.TLSVersion.TLSv1_2])
@pytest.mark.parametrize(
    "cert, text",
    [
        (None, "the server requires a client certificate (TLS alert "),
        ("stranger", "the server refused the client certificate (TLS alert "),
    ],
)
def test_refused_certificate_is_reported(files, tmp_path, version, cert, text):
    server = TlsServer(files["server_leaf"], workdir=tmp_path, client_ca=files["client_ca"], max_version=version)
    try:
        with tarnix.SyncClient(verify=files["server_ca"], cert=cert and files[cert]) as client:
            with pytest.raises(tarnix.TLSError) as exc:
                client.get(f"https://localhost:{server.port}/")
        assert str(exc.value).startswith(text), exc.value
    finally:
        server.close()


@pytest.mark.parametrize(
    "cert, error, text",
    [
        ("missing", FileNotFoundError, "client certificate file not found"),
        (("cert", "missing"), FileNotFoundError, "client key file not found"),
        ("garbage", tarnix.TLSError, "cannot read a PEM certificate"),
        ("empty", tarnix.TLSError, "cannot read a PEM certificate"),
        ("cert", tarnix.TLSError, "cannot read a PEM private key"),
        (("cert", "garbage"), tarnix.TLSError, "cannot read a PEM private key"),
        (("cert", "key_enc"), tarnix.TLSError, "is encrypted and needs a password"),
        (("cert", "key_enc", "wrong " + PASSWORD), tarnix.TLSError, "wrong password"),
        (("cert", "key_enc", b"wrong"), tarnix.TLSError, "wrong password"),
        (("cert", "other_key"), tarnix.TLSError, "does not match the client certificate"),
        (("cert", "key", "pw", "extra"), ValueError, "cert must be"),
    ],
)
def test_unusable_certificate_fails_when_the_client_is_made(files, cert, error, text):
    if isinstance(cert, tuple):
        arg = tuple(files.get(x, str(files["dir"] / x)) if i < 2 else x for i, x in enumerate(cert))
    else:
        arg = files.get(cert, str(files["dir"] / cert))
    with pytest.raises(error) as exc:
        tarnix.SyncClient(cert=arg)
    assert text in str(exc.value)
    assert "s3cret" not in str(exc.value)  # the password is never shown
