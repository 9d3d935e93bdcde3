"""Servers on 127.0.0.1 for the client tests, and a throwaway CA."""

from __future__ import annotations

import datetime
import functools
import gzip
import hashlib
import ipaddress
import json
import socket
import ssl
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Head and body go out as two writes; with Nagle on, the body would wait
    # for the client's delayed ACK.
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def reply(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        parts = urlsplit(self.path)
        every = parse_qs(parts.query)
        query = {k: v[0] for k, v in every.items()}
        path = parts.path
        if path == "/echo":
            doc = {
                "method": self.command,
                "target": self.path,
                "headers": [[k, v] for k, v in self.headers.items()],
                "body": body.decode("latin-1"),
            }
            self.reply(200, json.dumps(doc).encode(), [("Content-Type", "application/json")])
        elif path.startswith("/status/"):
            self.reply(int(path.rsplit("/", 1)[1]), b"status body")
        elif path == "/text":
            charset = query.get("charset")
            ctype = f"text/plain; charset={charset}" if charset else "text/plain"
            self.reply(200, "café".encode(charset or "utf-8"), [("Content-Type", ctype)])
        elif path == "/encoded":
            data = b"hello, compressed world " * 50
            coding = query["coding"]
            if coding == "gzip":
                data = gzip.compress(data)
            elif coding == "deflate":
                data = zlib.compress(data)
            elif coding == "raw-deflate":
                c = zlib.compressobj(wbits=-15)
                data, coding = c.compress(data) + c.flush(), "deflate"
            elif coding == "br":
                import brotli

                data = brotli.compress(data)
            elif coding == "zstd":
                import zstandard

                data = zstandard.ZstdCompressor().compress(data)
            elif coding == "broken":
                data, coding = b"\x1f\x8b not gzip at all", "gzip"
            self.reply(200, data, [("Content-Encoding", coding)])
        elif path == "/bomb":
            self.reply(200, *bomb(query["coding"], int(query["size"])))
        elif path == "/cookie":
            # Sets the cookies in "set", a line each; with "to", also redirects there.
            headers = [("Set-Cookie", value) for value in every.get("set", [])]
            if "to" in query:
                self.reply(302, b"", headers + [("Location", query["to"])])
            else:
                self.reply(200, (self.headers.get("Cookie") or "").encode(), headers)
        elif path == "/digest":
            self.digest(query)
        elif path == "/headers":
            self.reply(200, b"", [("X-One", "1"), ("X-Dup", "a"), ("x-dup", "b"), ("Content-Type", "text/plain")])
        elif path == "/redirect":
            self.reply(int(query.get("code", "302")), b"", [("Location", query["to"])])
        elif path == "/loop":
            self.reply(302, b"", [("Location", "/loop")])
        elif path == "/slow":
            time.sleep(float(query.get("delay", "0.5")))
            self.reply(200, b"late")
        else:
            self.reply(404, b"not found")

    def digest(self, query):
        """Digest auth for user "u", password "pw" (RFC 7616), checked
        independently of the client's code."""
        algorithm = query.get("algorithm", "MD5")
        qop = query.get("qop", "auth")
        hname = {"MD5": "md5", "SHA-256": "sha256"}[algorithm.replace("-sess", "")]
        H = lambda b: hashlib.new(hname, b.encode()).hexdigest()  # noqa: E731
        nonce = "n0nce-" + algorithm
        header = self.headers.get("Authorization", "")
        if header.startswith("Digest "):
            fields = dict(
                (k.strip(), v.strip().strip('"'))
                for k, v in (item.split("=", 1) for item in header[7:].split(", "))
            )
            ha1 = H(f"u:realm@test:pw")
            if algorithm.endswith("-sess"):
                ha1 = H(f"{ha1}:{nonce}:{fields['cnonce']}")
            ha2 = H(f"{self.command}:{fields['uri']}")
            if qop == "none":
                expected = H(f"{ha1}:{nonce}:{ha2}")
            else:
                expected = H(f"{ha1}:{nonce}:{fields['nc']}:{fields['cnonce']}:auth:{ha2}")
            if fields.get("response") == expected and fields.get("opaque") == "op" and fields["uri"] == self.path:
                self.reply(200, f"ok {fields.get('nc', '-')}".encode())
                return
        challenge = f'Digest realm="realm@test", nonce="{nonce}", algorithm={algorithm}, opaque="op"'
        if qop != "none":
            challenge += f', qop="{qop}"'
        self.reply(401, b"denied", [("WWW-Authenticate", challenge)])

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = do_OPTIONS = handle_any


@functools.lru_cache(maxsize=16)
def bomb(coding, size):
    """A body of ``size`` zero bytes, compressed; "chain" is gzip inside deflate."""
    data = bytes(size)
    if coding == "gzip":
        return gzip.compress(data, 1), [("Content-Encoding", "gzip")]
    if coding == "deflate":
        return zlib.compress(data, 1), [("Content-Encoding", "deflate")]
    if coding == "br":
        import brotli

        return brotli.compress(data, quality=1), [("Content-Encoding", "br")]
    if coding == "zstd":
        import zstandard

        return zstandard.ZstdCompressor().compress(data), [("Content-Encoding", "zstd")]
    assert coding == "chain"
    return zlib.compress(gzip.compress(data)), [("Content-Encoding", "gzip, deflate")]


class HTTPServer:
    """A threaded HTTP/1.1 server on an ephemeral port, plain or TLS."""

    def __init__(self, ssl_context=None, host="127.0.0.1"):
        if host == "[::1]":
            server_class = type("Server6", (ThreadingHTTPServer,), {"address_family": socket.AF_INET6})
            self.server = server_class(("::1", 0), Handler, bind_and_activate=False)
        else:
            self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler, bind_and_activate=False)
        self.server.daemon_threads = True
        self.server.request_queue_size = 128
        # Tests provoke resets and failed handshakes; keep their tracebacks quiet.
        self.server.handle_error = lambda request, client_address: None
        self.server.server_bind()
        self.server.server_activate()
        if ssl_context is not None:
            self.server.socket = ssl_context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        scheme = "https" if ssl_context is not None else "http"
        self.url = f"{scheme}://{host}:{self.port}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


class RawServer:
    """Accepts connections and runs ``behaviour(conn)`` on each."""

    def __init__(self, behaviour):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.url = f"http://127.0.0.1:{self.sock.getsockname()[1]}"
        self.behaviour = behaviour
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                try:
                    self.behaviour(conn)
                except OSError:
                    pass

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.sock.close()


def read_head(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def make_ca(tmp_path, name="tarnix test CA"):
    """Write a CA certificate and a leaf for localhost and 127.0.0.1.

    Returns (ca_file, server_ssl_context). Keys exist only in tmp_path.
    """
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    now = datetime.datetime.now(datetime.timezone.utc)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    ca = (
        x509.CertificateBuilder()
        .subject_name(ca_name)
        .issuer_name(ca_name)
        .public_key(ca_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=30))
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .add_extension(
            x509.KeyUsage(False, False, False, False, False, True, True, False, False), critical=True
        )
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key()), critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    key = ec.generate_private_key(ec.SECP256R1())
    leaf = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")]))
        .issuer_name(ca_name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=30))
        .add_extension(
            x509.SubjectAlternativeName(
                [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
            ),
            critical=False,
        )
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()), critical=False
        )
        .sign(ca_key, hashes.SHA256())
    )
    tmp_path.mkdir(parents=True, exist_ok=True)
    ca_file = tmp_path / "ca.pem"
    ca_file.write_bytes(ca.public_bytes(serialization.Encoding.PEM))
    chain = tmp_path / "leaf.pem"
    chain.write_bytes(leaf.public_bytes(serialization.Encoding.PEM))
    key_file = tmp_path / "leaf.key"
    key_file.write_bytes(
        key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
        )
    )
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(chain, key_file)
    return str(ca_file), ctx
