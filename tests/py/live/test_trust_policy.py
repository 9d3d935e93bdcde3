"""Trust policy beyond the basic chain rules: revocation that holds after
the bundle is rebuilt from the system store, path constraints through the CA
file as through the store, minimum key strength and stapled OCSP responses."""

import functools
import ipaddress
import os
import queue
import re
import shutil
import ssl
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from cryptography import x509
from cryptography.x509.oid import ExtendedKeyUsageOID, ObjectIdentifier

from support import pki
from support.engine import accepted, refused
from support.engine import tls_pool as make_pool
from support.tls_servers import WAIT, TlsServer, respond_and_close

class WeakKeyServer(TlsServer):
    """Python's ssl server at security level 0, so it serves any key size."""

    def use(self, cert, chain=()):
        cert_file, key_file = cert.write_server_files(self._dir, list(chain))
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
        ctx.load_cert_chain(cert_file, key_file)
        self._ctx = ctx


@pytest.fixture
def serve(tls_serve):
    """Servers that take keys of any size and answer once."""
    return functools.partial(tls_serve, kind=WeakKeyServer, respond=respond_and_close)


# -- revocation after the bundle was rebuilt from the store ---------------------------

def test_revoked_leaf_stays_refused_once_the_bundle_holds_the_store_roots(serve, system_store):
    root = pki.make_ca("store root")
    good, revoked = pki.make_leaf(root), pki.make_leaf(root)
    system_store(root.pem, pki.make_crl(root, [revoked]))
    server = serve(revoked)
    pool = make_pool(server.port)
    assert refused(pool)
    server.use(good)
    assert accepted(pool)  # the pool's bundle now holds the store's roots
    server.use(revoked)
    assert refused(pool)
    # Revocation data is read afresh: a CRL added later counts too.
    system_store(root.pem, pki.make_crl(root, [revoked, good]))
    server.use(good)
    assert refused(pool)


# -- path constraints on both paths ---------------------------------------------------

def _constrained_chain(case):
    """(root, chain the server sends with its leaf first) for each constraint."""
    root = pki.make_ca("constraint root")
    if case == "name constraints":
        permitted = x509.NameConstraints([x509.DNSName("example.test")], None)
        inter = pki.make_cert(root, "constrained intermediate", ca=True, extensions=[(permitted, True)])
        return root, [pki.make_cert(inter, "tarnix leaf"), inter]
    if case == "excluded address":
        excluded = x509.NameConstraints(None, [x509.DNSName("localhost")])
        inter = pki.make_cert(root, "constrained intermediate", ca=True, extensions=[(excluded, True)])
        return root, [pki.make_cert(inter, "tarnix leaf"), inter]
    if case == "path length":
        top = pki.make_cert(root, "top intermediate", ca=True, path_length=0)
        inter = pki.make_cert(top, "second intermediate", ca=True)
        return root, [pki.make_cert(inter, "tarnix leaf"), inter, top]
    if case == "unknown critical extension":
        odd = x509.UnrecognizedExtension(ObjectIdentifier("1.3.6.1.4.1.55555.1.1"), b"\x05\x00")
        return root, [pki.make_cert(root, "tarnix leaf", extensions=[(odd, True)])]
    if case == "intermediate may not sign certificates":
        crl_only = x509.KeyUsage(False, False, False, False, False, False, True, False, False)
        inter = pki.make_cert(root, "crl intermediate", ca=True, key_usage=crl_only)
        return root, [pki.make_cert(inter, "tarnix leaf"), inter]
    if case == "leaf key usage for signing certificates only":
        cert_sign = x509.KeyUsage(False, False, False, False, False, True, False, False, False)
        return root, [pki.make_cert(root, "tarnix leaf", key_usage=cert_sign)]
    if case == "intermediate for client authentication only":
        inter = pki.make_cert(root, "client intermediate", ca=True, extensions=[(CLIENT_ONLY, False)])
        return root, [pki.make_cert(inter, "tarnix leaf"), inter]
    raise ValueError(case)


CLIENT_ONLY = x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CLIENT_AUTH])
CONSTRAINTS = ["name constraints", "excluded address", "path length", "unknown critical extension",
               "intermediate may not sign certificates", "leaf key usage for signing certificates only",
               "intermediate for client authentication only"]


@pytest.mark.parametrize("path", ["ca file", "system store"])
@pytest.mark.parametrize("case", CONSTRAINTS)
def test_path_constraints_hold_on_both_paths(tmp_path, serve, system_store, path, case):
    root, chain = _constrained_chain(case)
    server = serve(chain[0], chain[1:])
    if path == "ca file":
        ca_file = tmp_path / "ca.pem"
        ca_file.write_bytes(root.pem)
        pool = make_pool(server.port, ca_file)
    else:
        system_store(root.pem)
        pool = make_pool(server.port)
    assert refused(pool)
    # The same root vouches for a plain leaf through the same path.
    server.use(pki.make_cert(root, "tarnix leaf"))
    assert accepted(pool)


def test_name_constraints_permit_what_they_name(tmp_path, serve):
    root = pki.make_ca("constraint root")
    permitted = x509.NameConstraints([x509.DNSName("localhost")], None)
    inter = pki.make_cert(root, "constrained intermediate", ca=True, extensions=[(permitted, True)])
    ca_file = tmp_path / "ca.pem"
    ca_file.write_bytes(root.pem)
    server = serve(pki.make_cert(inter, "tarnix leaf", dns=["a.localhost"]), [inter])
    assert accepted(make_pool(server.port, ca_file, host="a.localhost"))


# -- what a certificate of the CA file may vouch for -----------------------------------

def test_a_pinned_server_certificate_vouches_only_for_itself(tmp_path, serve):
    pinned = pki.make_leaf(None)
    ca_file = tmp_path / "ca.pem"
    ca_file.write_bytes(pinned.pem)
    server = serve(pinned)
    pool = make_pool(server.port, ca_file)
    assert accepted(pool)
    # Its key signs a certificate for the same host: not a CA, so refused.
    server.use(pki.make_cert(pinned, "tarnix leaf"))
    assert refused(pool)


def _file_entry(case):
    root = pki.make_ca("entry root")
    if case == "certificate without the CA flag":
        return pki.make_cert(root, "plain entry")
    if case == "CA that may not sign certificates":
        crl_only = x509.KeyUsage(False, False, False, False, False, False, True, False, False)
        return pki.make_cert(None, "crl root", ca=True, key_usage=crl_only)
    if case == "intermediate for client authentication only":
        return pki.make_cert(root, "client intermediate", ca=True, extensions=[(CLIENT_ONLY, False)])
    raise ValueError(case)


@pytest.mark.parametrize("case", ["certificate without the CA flag", "CA that may not sign certificates",
                                  "intermediate for client authentication only"])
def test_a_ca_file_entry_issues_only_as_a_ca_for_servers(tmp_path, serve, case):
    entry = _file_entry(case)
    ca_file = tmp_path / "ca.pem"
    ca_file.write_bytes(entry.pem)
    server = serve(pki.make_cert(entry, "tarnix leaf"))
    assert refused(make_pool(server.port, ca_file))


# -- key strength --------------------------------------------------------------------------

_weak = {}


def weak_rsa_key():
    if "rsa768" not in _weak:
        _weak["rsa768"] = pki.openssl_rsa_key(768)
    return _weak["rsa768"]


@pytest.mark.parametrize("path", ["ca file", "system store"])
@pytest.mark.parametrize("where", ["leaf", "intermediate", "root"])
def test_keys_under_80_bits_of_security_are_refused(tmp_path, serve, system_store, path, where):
    root = pki.make_cert(None, "weak root", ca=True, key=weak_rsa_key() if where == "root" else None)
    inter = pki.make_cert(root, "weak intermediate", ca=True, key=weak_rsa_key() if where == "intermediate" else None)
    leaf = pki.make_cert(inter, "tarnix leaf", key=weak_rsa_key() if where == "leaf" else None)
    server = serve(leaf, [inter])
    if path == "ca file":
        ca_file = tmp_path / "ca.pem"
        ca_file.write_bytes(root.pem)
        pool = make_pool(server.port, ca_file)
    else:
        system_store(root.pem)
        pool = make_pool(server.port)
    assert refused(pool)


def test_rsa_1024_is_the_smallest_key_accepted(tmp_path, serve):
    root = pki.make_ca("root")
    ca_file = tmp_path / "ca.pem"
    ca_file.write_bytes(root.pem)
    server = serve(pki.make_cert(root, "tarnix leaf", key=pki.openssl_rsa_key(1024)))
    assert accepted(make_pool(server.port, ca_file))


# -- stapled OCSP responses ---------------------------------------------------------------

class StaplingServer:
    """`openssl s_server -www` on 127.0.0.1, stapling the OCSP response in
    `status_file` (read again for every handshake)."""

    def __init__(self, workdir, cert, status_file, tls12=False):
        cert_file, key_file = cert.write_server_files(workdir)
        args = [shutil.which("openssl"), "s_server", "-accept", "127.0.0.1:0", "-www",
                "-cert", str(cert_file), "-key", str(key_file), "-status_file", str(status_file)]
        if tls12:
            args.append("-tls1_2")
        self._proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, text=True)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(x) for x in self._proc.stdout] + [lines.put(None)],
                         daemon=True).start()
        self.port = None
        deadline = time.monotonic() + WAIT
        while self.port is None and time.monotonic() < deadline:
            try:
                line = lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                break
            m = re.search(r"ACCEPT .*:(\d+)", line)
            if m:
                self.port = int(m.group(1))
        if self.port is None:
            self.close()
            raise RuntimeError("s_server did not start")

    def close(self):
        self._proc.kill()
        self._proc.wait()


def ocsp_response(workdir: Path, issuer, about, revoked, signer=None) -> bytes:
    """A DER OCSP response that `openssl ocsp` makes from an index file:
    `about` good or revoked, signed by `signer` (the issuer by default)."""
    signer = signer or issuer
    workdir.mkdir(parents=True, exist_ok=True)
    files = {}
    for name, data in [("issuer.crt", issuer.pem), ("signer.crt", signer.pem), ("signer.key", signer.key_pem),
                       ("cert.crt", about.pem)]:
        files[name] = workdir / name
        files[name].write_bytes(data)
    serial = f"{about.cert.serial_number:X}"
    serial = "0" * (len(serial) % 2) + serial
    state = "R\t301231000000Z\t251201000000Z" if revoked else "V\t301231000000Z\t"
    (workdir / "index.txt").write_text(f"{state}\t{serial}\tunknown\t/CN=tarnix leaf\n")
    out = workdir / "response.der"
    subprocess.run(
        ["openssl", "ocsp", "-index", str(workdir / "index.txt"), "-rsigner", str(files["signer.crt"]),
         "-rkey", str(files["signer.key"]), "-CA", str(files["issuer.crt"]), "-issuer", str(files["issuer.crt"]),
         "-cert", str(files["cert.crt"]), "-respout", str(out), "-ndays", "1", "-no_nonce"],
        check=True, capture_output=True,
    )
    return out.read_bytes()


needs_openssl = pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command")


@pytest.fixture
def stapling(tmp_path):
    servers = []

    def start(cert, status_file, tls12=False):
        server = StaplingServer(tmp_path / f"srv{len(servers)}", cert, status_file, tls12)
        servers.append(server)
        return server

    yield start
    for s in servers:
        s.close()


@needs_openssl
@pytest.mark.parametrize("tls12", [False, True], ids=["tls1.3", "tls1.2"])
def test_stapled_revocation_on_the_store_path_and_through_the_rebuilt_bundle(tmp_path, system_store, stapling,
                                                                              tls12):
    root = pki.make_ca("ocsp root")
    leaf = pki.make_cert(root, "tarnix leaf", key_kind="rsa2048" if tls12 else "ec256")
    system_store(root.pem)
    status = tmp_path / "status.der"
    status.write_bytes(ocsp_response(tmp_path / "revoked", root, leaf, revoked=True))
    server = stapling(leaf, status, tls12)
    assert refused(make_pool(server.port))
    pool = make_pool(server.port)
    status.write_bytes(ocsp_response(tmp_path / "good", root, leaf, revoked=False))
    assert accepted(pool)  # the pool's bundle now holds the store's roots
    status.write_bytes(ocsp_response(tmp_path / "revoked", root, leaf, revoked=True))
    assert refused(pool)


@needs_openssl
@pytest.mark.parametrize("signer, about, ok", [
    ("delegated responder", "leaf", False),
    ("responder without OCSP signing", "leaf", True),
    ("stranger", "leaf", True),
    ("issuer", "another certificate", True),
])
def test_which_stapled_responses_count(tmp_path, system_store, stapling, signer, about, ok):
    root = pki.make_ca("ocsp root")
    leaf = pki.make_cert(root, "tarnix leaf")
    signers = {
        "issuer": root,
        "delegated responder": pki.make_responder(root),
        "responder without OCSP signing": pki.make_responder(root, ocsp_signing=False),
        "stranger": pki.make_responder(pki.make_ca("ocsp root")),  # same names, other keys
    }
    subject = leaf if about == "leaf" else pki.make_cert(root, "tarnix leaf")
    system_store(root.pem)
    status = tmp_path / "status.der"
    status.write_bytes(ocsp_response(tmp_path / "r", root, subject, revoked=True, signer=signers[signer]))
    server = stapling(leaf, status)
    assert (accepted if ok else refused)(make_pool(server.port))



# -- the engine's own library context ------------------------------------------------------

CHILD = """
import asyncio, ssl, sys
from tarnix import _tarnix
port, ca = int(sys.argv[1]), sys.argv[2]
async def go():
    loop = asyncio.get_running_loop()
    future = loop.create_future()
    pool = _tarnix.pool_create("localhost", port, True, 0, 4, 0, 0, ca)
    _tarnix.submit(pool, 0, "/", [], b"", None, None, future, loop)
    return await asyncio.wait_for(future, 20)
print((asyncio.run(go())).status)
"""


def test_an_openssl_cnf_loaded_by_python_changes_no_verdict(tmp_path, serve, system_store):
    # Asks the default library context for algorithms no loaded provider has.
    cnf = tmp_path / "openssl.cnf"
    cnf.write_text("openssl_conf = init\n[init]\nalg_section = evp\n[evp]\ndefault_properties = fips=yes\n")
    root = pki.make_ca("cnf root")
    ca_file = tmp_path / "ca.pem"
    ca_file.write_bytes(root.pem)
    system_store(root.pem)
    server = serve(pki.make_cert(root, "tarnix leaf"))
    env = dict(os.environ, OPENSSL_CONF=str(cnf))
    for ca in (str(ca_file), ""):
        out = subprocess.run([sys.executable, "-c", CHILD, str(server.port), ca], env=env, capture_output=True,
                             text=True, timeout=60)
        assert out.stdout.strip() == "200", (ca, out.stdout, out.stderr[-2000:])
