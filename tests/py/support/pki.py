"""The tests' one certificate factory: a throwaway PKI made fresh on every
run (no key is kept)."""

from __future__ import annotations

import datetime as _dt
import ipaddress
import ssl
from dataclasses import dataclass, field
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

NOW = _dt.datetime.now(_dt.timezone.utc)
DAY = _dt.timedelta(days=1)


def make_key(kind: str = "ec256"):
    if kind == "ec256":
        return ec.generate_private_key(ec.SECP256R1())
    if kind == "ec384":
        return ec.generate_private_key(ec.SECP384R1())
    if kind == "ec521":
        return ec.generate_private_key(ec.SECP521R1())
    if kind == "ed25519":
        return ed25519.Ed25519PrivateKey.generate()
    if kind.startswith("rsa"):
        return rsa.generate_private_key(65537, int(kind[3:]))
    raise ValueError(kind)


def _hash_for(key):
    return None if isinstance(key, ed25519.Ed25519PrivateKey) else hashes.SHA256()


@dataclass
class Cert:
    cert: x509.Certificate
    key: object
    serial: int = 0
    children: list = field(default_factory=list)

    @property
    def pem(self) -> bytes:
        return self.cert.public_bytes(serialization.Encoding.PEM)

    @property
    def der(self) -> bytes:
        return self.cert.public_bytes(serialization.Encoding.DER)

    @property
    def key_pem(self) -> bytes:
        return self.key.private_bytes(
            serialization.Encoding.PEM,
            serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption(),
        )

    def write_server_files(self, directory: Path, chain: list["Cert"] = ()) -> tuple[Path, Path]:
        """Certificate chain file (this certificate first) and key file."""
        directory.mkdir(parents=True, exist_ok=True)
        stem = f"srv-{self.cert.serial_number:x}"
        cert_path = directory / f"{stem}.crt"
        key_path = directory / f"{stem}.key"
        cert_path.write_bytes(self.pem + b"".join(c.pem for c in chain))
        key_path.write_bytes(self.key_pem)
        return cert_path, key_path


def _name(cn: str | None, org: str = "tarnix tests") -> x509.Name:
    attrs = [x509.NameAttribute(NameOID.ORGANIZATION_NAME, org)]
    if cn is not None:
        attrs.append(x509.NameAttribute(NameOID.COMMON_NAME, cn))
    return x509.Name(attrs)


def _builder(subject, issuer_name, public_key, not_before, not_after):
    return (
        x509.CertificateBuilder()
        .subject_name(subject)
        .issuer_name(issuer_name)
        .public_key(public_key)
        .serial_number(x509.random_serial_number())
        .not_valid_before(not_before)
        .not_valid_after(not_after)
    )


def make_ca(
    cn: str,
    issuer: Cert | None = None,
    key_kind: str = "ec256",
    path_length: int | None = None,
    not_before: _dt.datetime | None = None,
    not_after: _dt.datetime | None = None,
    key=None,
    signer_key=None,
) -> Cert:
    """A root (self-signed) or, with `issuer`, an intermediate CA. A
    `signer_key` other than the issuer's makes a forgery that still names the
    issuer and its key identifier."""
    key = key or make_key(key_kind)
    subject = _name(cn)
    signer_key = signer_key or (issuer.key if issuer else key)
    issuer_name = issuer.cert.subject if issuer else subject
    b = _builder(subject, issuer_name, key.public_key(), not_before or NOW - 30 * DAY, not_after or NOW + 365 * DAY)
    b = b.add_extension(x509.BasicConstraints(ca=True, path_length=path_length), critical=True)
    b = b.add_extension(
        x509.KeyUsage(False, False, False, False, False, True, True, False, False), critical=True
    )
    b = b.add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
    if issuer:
        b = b.add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer.key.public_key()), critical=False
        )
    return Cert(b.sign(signer_key, _hash_for(signer_key)), key)


def make_leaf(
    issuer: Cert | None,
    dns: list[str] | None = ("localhost",),
    ips: list[str] = (),
    cn: str | None = "tarnix leaf",
    key_kind: str = "ec256",
    key=None,
    not_before: _dt.datetime | None = None,
    not_after: _dt.datetime | None = None,
    eku: list | None = (ExtendedKeyUsageOID.SERVER_AUTH,),
    signer_key=None,
) -> Cert:
    """A server certificate; `issuer` None makes it self-signed. `dns` None
    leaves the subjectAltName extension out. `signer_key` forges as in
    make_ca."""
    key = key or make_key(key_kind)
    subject = _name(cn)
    signer_key = signer_key or (issuer.key if issuer else key)
    issuer_name = issuer.cert.subject if issuer else subject
    b = _builder(
        subject,
        issuer_name,
        key.public_key(),
        not_before or NOW - DAY,
        not_after or NOW + 30 * DAY,
    )
    b = b.add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
    if dns is not None or ips:
        names = [x509.DNSName(d) for d in (dns or ())]
        names += [x509.IPAddress(ipaddress.ip_address(i)) for i in ips]
        b = b.add_extension(x509.SubjectAlternativeName(names), critical=False)
    if eku is not None:
        b = b.add_extension(x509.ExtendedKeyUsage(list(eku)), critical=False)
    if issuer:
        b = b.add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer.key.public_key()), critical=False
        )
    return Cert(b.sign(signer_key, _hash_for(signer_key)), key)


def make_crl(issuer: Cert, revoked: list[Cert]) -> bytes:
    """PEM CRL of `issuer` listing `revoked`."""
    b = (
        x509.CertificateRevocationListBuilder()
        .issuer_name(issuer.cert.subject)
        .last_update(NOW - DAY)
        .next_update(NOW + 30 * DAY)
    )
    for c in revoked:
        b = b.add_revoked_certificate(
            x509.RevokedCertificateBuilder()
            .serial_number(c.cert.serial_number)
            .revocation_date(NOW - DAY)
            .build()
        )
    crl = b.sign(issuer.key, _hash_for(issuer.key))
    return crl.public_bytes(serialization.Encoding.PEM)


def make_cert(
    issuer: Cert | None,
    cn: str,
    *,
    ca: bool = False,
    key=None,
    key_kind: str = "ec256",
    dns: list[str] | None = ("localhost",),
    extensions: list = (),
    key_usage: x509.KeyUsage | None = None,
    path_length: int | None = None,
) -> Cert:
    """A CA or server certificate with extra (extension, critical) pairs;
    `key_usage` replaces the usual one."""
    key = key or make_key(key_kind)
    signer_key = issuer.key if issuer else key
    subject = _name(cn)
    b = _builder(subject, issuer.cert.subject if issuer else subject, key.public_key(), NOW - DAY, NOW + 30 * DAY)
    b = b.add_extension(x509.BasicConstraints(ca=ca, path_length=path_length if ca else None), critical=True)
    if key_usage is None and ca:
        key_usage = x509.KeyUsage(False, False, False, False, False, True, True, False, False)
    if key_usage is not None:
        b = b.add_extension(key_usage, critical=True)
    if not ca:
        if dns is not None:
            b = b.add_extension(x509.SubjectAlternativeName([x509.DNSName(d) for d in dns]), critical=False)
        b = b.add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
    b = b.add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
    if issuer:
        b = b.add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer.key.public_key()), critical=False
        )
    for ext, critical in extensions:
        b = b.add_extension(ext, critical=critical)
    return Cert(b.sign(signer_key, _hash_for(signer_key)), key)


def make_responder(issuer: Cert, ocsp_signing: bool = True) -> Cert:
    """A certificate `issuer` gives to an OCSP responder (id-kp-OCSPSigning)."""
    key = make_key()
    b = _builder(_name("tarnix ocsp responder"), issuer.cert.subject, key.public_key(), NOW - DAY, NOW + 30 * DAY)
    b = b.add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
    usage = ExtendedKeyUsageOID.OCSP_SIGNING if ocsp_signing else ExtendedKeyUsageOID.SERVER_AUTH
    b = b.add_extension(x509.ExtendedKeyUsage([usage]), critical=False)
    return Cert(b.sign(issuer.key, _hash_for(issuer.key)), key)


def openssl_rsa_key(bits: int):
    """An RSA key of any size the openssl command makes (the cryptography
    package refuses sizes under 1024 bits)."""
    import subprocess

    out = subprocess.run(
        ["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", f"rsa_keygen_bits:{bits}"],
        check=True, capture_output=True,
    ).stdout
    return serialization.load_pem_private_key(out, None, unsafe_skip_rsa_key_validation=True)


def localhost_tls(directory: Path, ca_name: str = "tarnix test CA") -> tuple[str, ssl.SSLContext]:
    """A CA file, and a server context for localhost and 127.0.0.1 under
    that CA. Keys exist only in `directory`."""
    ca = make_ca(ca_name)
    leaf = make_leaf(ca, dns=["localhost"], ips=["127.0.0.1"], cn="localhost")
    cert_file, key_file = leaf.write_server_files(directory)
    ca_file = directory / "ca.pem"
    ca_file.write_bytes(ca.pem)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert_file, key_file)
    return str(ca_file), ctx
