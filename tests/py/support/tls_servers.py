"""TLS servers on 127.0.0.1 for the TLS tests, and a ClientHello reader."""

from __future__ import annotations

import hashlib
import queue
import re
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
from pathlib import Path

from support.server import Listener, read_head

WAIT = 20.0  # handshakes under sanitizers are slow


def respond_keep_alive(server, conn):
    """Answers requests on one connection until the client ends it."""
    n = 0
    while True:
        try:
            head = read_head(conn)
        except ssl.SSLEOFError:
            server.events.put("eof without close_notify")
            return
        if b"\r\n\r\n" not in head:
            server.events.put("close_notify")
            return
        n += 1
        body = f"hello {n} {conn.version()}".encode()
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))


def respond_with_body_digest(server, conn):
    """Answers each request with the SHA-256 of its body (Content-Length
    framed), until the client ends the connection."""
    data = b""
    while True:
        data = read_head(conn, data)
        if b"\r\n\r\n" not in data:
            return
        head, data = data.split(b"\r\n\r\n", 1)
        m = re.search(rb"(?im)^content-length:\s*(\d+)", head)
        length = int(m.group(1)) if m else 0
        while len(data) < length:
            chunk = conn.recv(65536)
            if not chunk:
                return
            data += chunk
        digest = hashlib.sha256(data[:length]).hexdigest().encode()
        data = data[length:]
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(digest), digest))


def respond_and_close(server, conn, close_notify=True):
    """One response framed by the end of the stream, the end marked by a
    close_notify or not."""
    read_head(conn)
    conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nbody up to the end")
    if close_notify:
        conn.unwrap()
    server.events.put("closed")


class TlsServer(Listener):
    """Python's ssl module behind a listening socket; counts handshakes. The
    certificate can be exchanged between connections."""

    nodelay = True

    def __init__(self, cert, chain=(), respond=respond_keep_alive, workdir=None, client_ca=None, max_version=None):
        """`client_ca`: a PEM file; clients must then show a certificate it issued."""
        self.respond = respond
        self._client_ca = client_ca
        self._max_version = max_version
        self.handshakes = 0
        self.events: queue.Queue = queue.Queue()
        self._dir = Path(workdir or tempfile.mkdtemp())
        self.use(cert, chain)
        super().__init__()

    def use(self, cert, chain=()):
        cert_file, key_file = cert.write_server_files(self._dir, list(chain))
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert_file, key_file)
        if self._client_ca is not None:
            ctx.verify_mode = ssl.CERT_REQUIRED
            ctx.load_verify_locations(self._client_ca)
        if self._max_version is not None:
            ctx.maximum_version = self._max_version
        # A transport end without close_notify must show as an error here.
        ctx.options &= ~getattr(ssl, "OP_IGNORE_UNEXPECTED_EOF", 0)
        self._ctx = ctx

    def handle(self, raw):
        ctx = self._ctx
        try:
            conn = ctx.wrap_socket(raw, server_side=True, suppress_ragged_eofs=False)
        except (ssl.SSLError, OSError) as exc:
            self.events.put(f"handshake failed: {exc}")
            return
        with self.lock:
            self.handshakes += 1
        try:
            self.respond(self, conn)
        except (ssl.SSLError, OSError) as exc:
            self.events.put(f"error: {exc}")
        finally:
            conn.close()

    def next_event(self, timeout=WAIT) -> str:
        return self.events.get(timeout=timeout)


class OpenSslServer:
    """`openssl s_server -www`, by default limited to TLS 1.2; `options`
    replace that limit (e.g. ["-Verify", "1", "-CAfile", path])."""

    def __init__(self, cert, chain=(), workdir=None, options=("-tls1_2",)):
        exe = shutil.which("openssl")
        if exe is None:
            raise RuntimeError("no openssl command")
        d = Path(workdir or tempfile.mkdtemp())
        cert_file, key_file = cert.write_server_files(d)
        args = [exe, "s_server", "-accept", "127.0.0.1:0", *options, "-www",
                "-cert", str(cert_file), "-key", str(key_file)]
        if chain:
            chain_file = d / "chain.pem"
            chain_file.write_bytes(b"".join(c.pem for c in chain))
            args += ["-cert_chain", str(chain_file)]
        self._proc = subprocess.Popen(
            args,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        )
        lines: queue.Queue = queue.Queue()

        def drain():  # keeps the pipe from filling up, and closes it at its end
            with self._proc.stdout as out:
                for line in out:
                    lines.put(line)
            lines.put(None)

        threading.Thread(target=drain, daemon=True).start()
        self.port = None
        deadline = time.monotonic() + WAIT
        while self.port is None:
            try:
                line = lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                line = None
            if line is None:
                self.close()
                raise RuntimeError("s_server did not start")
            m = re.search(r"ACCEPT .*:(\d+)", line)
            if m:
                self.port = int(m.group(1))

    def close(self):
        self._proc.kill()
        self._proc.wait()


def find_nginx() -> str | None:
    return shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin:/sbin")


_NGINX_CONF = """
daemon off;
master_process off;
pid {d}/nginx.pid;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {d}/body;
    proxy_temp_path {d}/proxy;
    fastcgi_temp_path {d}/fastcgi;
    uwsgi_temp_path {d}/uwsgi;
    scgi_temp_path {d}/scgi;
    server {{
        {listen}
        ssl_certificate {cert};
        ssl_certificate_key {key};
        ssl_protocols {protocols};
        location / {{ return 200 "$ssl_protocol $ssl_cipher sni=$ssl_server_name\\n"; }}
    }}
}}
"""


def _free_port() -> tuple[int, bool]:
    """A port free on 127.0.0.1, and whether it is free on ::1 too."""
    with socket.create_server(("127.0.0.1", 0)) as s4:
        port = s4.getsockname()[1]
        try:
            socket.create_server(("::1", port), family=socket.AF_INET6).close()
            return port, True
        except OSError:
            return port, False


class NginxServer:
    """Debian's nginx, one process, on 127.0.0.1 (and ::1 when it can): each
    answer names the protocol, the suite and the server name the client sent."""

    def __init__(self, cert, chain=(), protocols="TLSv1.2 TLSv1.3", workdir=None):
        d = Path(workdir or tempfile.mkdtemp())
        cert_file, key_file = cert.write_server_files(d, list(chain))
        # Another process may take the port between the probe and nginx's bind.
        for _ in range(5):
            self.port, self.ipv6 = _free_port()
            listen = f"listen 127.0.0.1:{self.port} ssl;"
            if self.ipv6:
                listen += f" listen [::1]:{self.port} ssl;"
            conf = d / "nginx.conf"
            conf.write_text(_NGINX_CONF.format(d=d, listen=listen, cert=cert_file, key=key_file,
                                               protocols=protocols))
            log = d / "error.log"
            self._proc = subprocess.Popen([find_nginx(), "-p", str(d), "-c", str(conf), "-e", str(log)],
                                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.STDOUT)
            deadline = time.monotonic() + WAIT
            while self._proc.poll() is None and time.monotonic() < deadline:
                try:
                    socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                    return
                except OSError:
                    time.sleep(0.05)
            self.close()
            text = log.read_text(errors="replace") if log.exists() else ""
            if "Address already in use" not in text:
                raise RuntimeError(f"nginx did not start: {text}")
        raise RuntimeError("nginx found no free port")

    def close(self):
        self._proc.terminate()
        try:
            self._proc.wait(WAIT)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait()


def read_client_hello(conn) -> dict:
    """Reads the client's first record and parses its ClientHello."""
    buf = b""

    def need(n):
        nonlocal buf
        while len(buf) < n:
            chunk = conn.recv(65536)
            if not chunk:
                raise EOFError("connection closed inside the ClientHello")
            buf += chunk

    need(5)
    _, record_version, length = struct.unpack(">BHH", buf[:5])
    need(5 + length)
    body = buf[5:5 + length]
    assert body[0] == 1, "not a ClientHello"
    msg = body[4:4 + int.from_bytes(body[1:4], "big")]

    def u16s(data):
        return [struct.unpack(">H", data[i:i + 2])[0] for i in range(0, len(data), 2)]

    hello = {"record_version": record_version, "legacy_version": struct.unpack(">H", msg[:2])[0]}
    p = 2 + 32
    hello["session_id_len"] = msg[p]
    p += 1 + msg[p]
    n = struct.unpack(">H", msg[p:p + 2])[0]
    hello["cipher_suites"] = u16s(msg[p + 2:p + 2 + n])
    p += 2 + n
    hello["compression"] = list(msg[p + 1:p + 1 + msg[p]])
    p += 1 + msg[p]
    end = p + 2 + struct.unpack(">H", msg[p:p + 2])[0]
    p += 2
    hello["extensions"] = []
    while p < end:
        ext, n = struct.unpack(">HH", msg[p:p + 4])
        data = msg[p + 4:p + 4 + n]
        p += 4 + n
        hello["extensions"].append(ext)
        if ext == 0:
            hello["server_name"] = data[5:5 + struct.unpack(">H", data[3:5])[0]]
        elif ext == 10:
            hello["groups"] = u16s(data[2:])
        elif ext == 13:
            hello["signature_algorithms"] = u16s(data[2:])
        elif ext == 43:
            hello["versions"] = u16s(data[1:1 + data[0]])
        elif ext == 45:
            hello["psk_modes"] = list(data[1:1 + data[0]])
        elif ext == 51:
            shares, q = [], 2
            while q < len(data):
                group, n = struct.unpack(">HH", data[q:q + 4])
                shares.append(group)
                q += 4 + n
            hello["key_shares"] = shares
    return hello


class HelloCatcher(Listener):
    """Keeps the ClientHello of each connection and hangs up."""

    def __init__(self, host="127.0.0.1"):
        self.hello: queue.Queue = queue.Queue()
        super().__init__(host)

    def handle(self, conn):
        try:
            self.hello.put(read_client_hello(conn))
        except Exception as exc:  # reported to the test
            self.hello.put(exc)
