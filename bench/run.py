#!/usr/bin/env python3
"""tarnix against the async HTTP clients people would otherwise pick.

    python3 bench/run.py            # full run: every scenario, every client, 3 repeats
    python3 bench/run.py --quick    # smoke run: counts / 10, one repeat
    python3 bench/run.py --scenarios busy,burst   # only the busy-loop and burst scenarios
    python3 bench/run.py --scenarios hosts --clients tarnix,aiohttp,httpx   # many origins

Installs what it needs (nginx and wrk from Debian, the peers and tarnix into
bench/.venv), starts nginx on 127.0.0.1 with a generated configuration and a
certificate made for this run, measures the server's ceiling with wrk, runs
every scenario for every client in a process of its own, prints a table and
writes the figures to bench/results/. The burst scenarios use a delaying
server of their own (delay_server.py). The servers are stopped at the end,
always.
Only the standard library is used here; the clients run in the venv.
"""

import argparse
import datetime
import hashlib
import json
import os
import platform
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
VENV = HERE / ".venv"
RESULTS = HERE / "results"

SMALL_BODY = "tarnix bench: a small fixed response of sixty-four bytes.......\n"
assert len(SMALL_BODY) == 64
ONE_MIB = 1 << 20
CHUNKED_SIZE = 16 * 1024   # sent as 4 chunks of 4 KiB
POST_SIZE = 16 * 1024

# name, requests, in flight, connection limit, origin, path, method, body length
SCENARIOS = {
    1: dict(title="2,000 sequential GETs (latency)", n=2000, inflight=1, limit=1,
            origin="http", path="/small", method="GET", expect_len=len(SMALL_BODY)),
    2: dict(title="20,000 GETs, 64 in flight, 64 connections", n=20000, inflight=64,
            limit=64, origin="http", path="/small", method="GET",
            expect_len=len(SMALL_BODY)),
    3: dict(title="20,000 GETs, 1,000 in flight, 16 connections", n=20000, inflight=1000,
            limit=16, origin="http", path="/small", method="GET",
            expect_len=len(SMALL_BODY)),
    4: dict(title="20,000 HTTPS GETs, 64 in flight, 64 connections", n=20000, inflight=64,
            limit=64, origin="https", path="/small", method="GET",
            expect_len=len(SMALL_BODY)),
    5: dict(title="1,000 HTTPS GETs, new connection each, 16 in flight", n=1000,
            inflight=16, limit=16, origin="https-close", path="/small", method="GET",
            expect_len=len(SMALL_BODY)),
    6: dict(title="200 downloads of 1 MiB, 8 in flight, 8 connections", n=200, inflight=8,
            limit=8, origin="http", path="/1m", method="GET", expect_len=ONE_MIB),
    7: dict(title="5,000 POSTs of 16 KiB, 64 in flight, 64 connections", n=5000,
            inflight=64, limit=64, origin="http", path="/sink", method="POST",
            expect_len=len(str(POST_SIZE))),
    8: dict(title="(extra) 5,000 chunked GETs of 16 KiB, 64 in flight", n=5000,
            inflight=64, limit=64, origin="http", path="/chunked", method="GET",
            expect_len=CHUNKED_SIZE),
    # Sequential GETs while pure-Python work saturates the event loop.
    9: dict(title="busy loop: 1,000 sequential GETs, one task burning 1 ms slices "
                  "without pause", kind="busy", load="always", n=1000, inflight=1,
            limit=1, origin="http", path="/small", method="GET",
            expect_len=len(SMALL_BODY)),
    10: dict(title="busy loop: 1,000 sequential GETs, four tasks each burning 1 ms "
                   "then sleeping 1 ms", kind="busy", load="four", n=1000, inflight=1,
             limit=1, origin="http", path="/small", method="GET",
             expect_len=len(SMALL_BODY)),
    # Every request at once (connection limit = N) to a server that answers after 2 s.
    11: dict(title="burst: 1,000 GETs at once, answered after 2 s", kind="burst", n=1000,
             origin="delay", path="/delay", method="GET", expect_len=len(SMALL_BODY)),
    12: dict(title="burst: 4,000 GETs at once, answered after 2 s", kind="burst", n=4000,
             origin="delay", path="/delay", method="GET", expect_len=len(SMALL_BODY)),
    13: dict(title="burst: 8,000 GETs at once, answered after 2 s", kind="burst", n=8000,
             origin="delay", path="/delay", method="GET", expect_len=len(SMALL_BODY)),
    # One request to each of many origins, with each client's own keep-alive
    # defaults: what stays open afterwards, and how the loop fares.
    14: dict(title="many hosts: one GET to each of 5,000 origins, 16 in flight",
             kind="hosts", n=5000, inflight=16, limit=16, origin="http", path="/small",
             method="GET", expect_len=len(SMALL_BODY)),
    15: dict(title="many hosts: one HTTPS GET to each of 5,000 origins (CA file, wildcard "
                   "certificate), 16 in flight", kind="hosts", n=5000, inflight=16, limit=16,
             origin="https", path="/small", method="GET", expect_len=len(SMALL_BODY)),
}
SCENARIO_NAMES = {"busy": (9, 10), "burst": (11, 12, 13), "hosts": (14, 15)}
HOSTS_SETTLE_S = 10       # sockets are counted this long after the last request
HOSTS_CLIENTS = ("tarnix", "aiohttp", "httpx")
# The profiling helpers (profile_one.py, breakdown.py) take these only.
LOAD_SCENARIOS = [s for s, sc in SCENARIOS.items() if "kind" not in sc]
BUSY_IDLE_S = 1.0         # the load alone, before the requests: the loop's work rate
BURST_DELAY_S = 2.0
BURST_TIMEOUT_S = 180     # per client run; a wedged client is killed then
BURST_REQUEST_TIMEOUT_S = 120
FD_SPARE = 256            # descriptors beyond one socket per request
BURST_GROWTH_SLACK = 1.25


def kind(sc):
    return sc.get("kind", "load")

CLIENTS = ["tarnix", "tarnix-raw", "aiohttp", "httpx", "pyreqwest", "rnet", "curl_cffi"]
TARNIX_ROWS = ("tarnix", "tarnix-raw")
# The release wheel (its own OpenSSL) beside the source build, with --wheel.
WHEEL_ROW = "tarnix-wheel"
WHEEL_SITE = HERE / ".wheel-site"
PEERS = ["aiohttp", "httpx", "pyreqwest", "rnet", "curl_cffi"]
PEER_PACKAGES = {"aiohttp": "aiohttp", "httpx": "httpx", "pyreqwest": "pyreqwest",
                 "rnet": "rnet", "curl_cffi": "curl_cffi"}
HARNESS_PACKAGES = ["cryptography", "matplotlib"]
# Blocking clients, driven by threads, in the scenarios where threads make sense.
BLOCKING = ["tarnix-sync", "httpx-sync", "requests"]
BLOCKING_SCENARIOS = (1, 2, 9)
CLIENTS += BLOCKING
PEER_PACKAGES["requests"] = "requests"


def log(msg):
    print(f"[bench] {msg}", file=sys.stderr, flush=True)


def _die_with_parent():
    # A child must not outlive the harness, even if the harness is killed.
    try:
        import ctypes
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except Exception:
        pass


# ---------------------------------------------------------------- setup

def _dpkg_has(pkg):
    return subprocess.run(["dpkg", "-s", pkg], capture_output=True).returncode == 0


def ensure_debian(need_wrk, need_build):
    missing = []
    if not find_nginx():
        missing.append("nginx-light")
    if need_wrk and not shutil.which("wrk"):
        missing.append("wrk")
    if need_build:
        # What building tarnix from source needs (cmake and ninja come from PyPI).
        missing += [p for p in ("g++", "libssl-dev") if not _dpkg_has(p)]
    if not missing:
        return
    log(f"installing Debian packages: {' '.join(missing)}")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], env=env, check=False)
    r = subprocess.run(["apt-get", "install", "-y", "-qq", *missing], env=env)
    if r.returncode != 0 and "nginx-light" in missing:
        # Newer Debian dropped nginx-light; plain nginx is the same server.
        rest = ["nginx"] + [p for p in missing if p != "nginx-light"]
        subprocess.run(["apt-get", "install", "-y", "-qq", *rest], env=env)


def find_nginx():
    return shutil.which("nginx") or next(
        (p for p in ("/usr/sbin/nginx", "/usr/local/sbin/nginx") if os.access(p, os.X_OK)),
        None)


def venv_python():
    return str(VENV / "bin" / "python")


def ensure_venv():
    if Path(venv_python()).exists():
        return
    log(f"creating {VENV}")
    if subprocess.run([sys.executable, "-m", "venv", str(VENV)]).returncode != 0:
        # Debian's own python3 keeps venv's pip bootstrap in a separate package.
        shutil.rmtree(VENV, ignore_errors=True)
        ver = f"python{sys.version_info[0]}.{sys.version_info[1]}"
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update", "-qq"], env=env)
        subprocess.run(["apt-get", "install", "-y", "-qq", "python3-venv", f"{ver}-venv"],
                       env=env)
        subprocess.run([sys.executable, "-m", "venv", str(VENV)], check=True)


def pip(*args, env=None):
    cmd = [venv_python(), "-m", "pip", "--disable-pip-version-check", "-q", *args]
    return subprocess.run(cmd, capture_output=True, text=True, env=env)


def installed_version(dist):
    r = subprocess.run([venv_python(), "-c",
                        "import importlib.metadata as m, sys; print(m.version(sys.argv[1]))",
                        dist], capture_output=True, text=True)
    return r.stdout.strip() if r.returncode == 0 else None


def _last_error_line(text):
    lines = [ln.strip() for ln in text.splitlines()
             if ln.strip() and not ln.lstrip().startswith("WARNING: Location")]
    errs = [ln for ln in lines if "ERROR" in ln or "error" in ln]
    return (errs or lines or ["unknown error"])[-1][:300]


def ensure_packages(upgrade):
    """Installs the harness packages and the peers; returns (versions, skipped)."""
    versions, skipped = {}, {}
    for dist in HARNESS_PACKAGES:
        if upgrade or not installed_version(dist):
            r = pip("install", *(["-U"] if upgrade else []), dist)
            if r.returncode != 0:
                raise SystemExit(f"cannot install {dist}: {_last_error_line(r.stderr)}")
    for client, dist in PEER_PACKAGES.items():
        v = None if upgrade else installed_version(dist)
        if v is None:
            log(f"pip install {dist}")
            r = pip("install", *(["-U"] if upgrade else []), dist)
            v = installed_version(dist)
            if r.returncode != 0 or v is None:
                skipped[client] = f"pip install {dist} failed: {_last_error_line(r.stderr)}"
                continue
        # Installed is not enough: it must import on this machine.
        mod = {"curl_cffi": "curl_cffi.requests", "pyreqwest": "pyreqwest.client"}.get(
            client, client)
        r = subprocess.run([venv_python(), "-c", f"import {mod}"], capture_output=True,
                           text=True)
        if r.returncode != 0:
            skipped[client] = f"import {mod} failed: {_last_error_line(r.stderr)}"
            continue
        versions[client] = v
    return versions, skipped


def _source_digest():
    h = hashlib.sha256()
    files = [ROOT / "CMakeLists.txt", ROOT / "pyproject.toml"]
    for d in ("src", "tarnix"):
        base = ROOT / d
        if base.is_dir():
            files += sorted(p for p in base.rglob("*") if p.is_file()
                            and "__pycache__" not in p.parts and p.suffix != ".so")
    for p in files:
        if p.exists():
            h.update(str(p.relative_to(ROOT)).encode())
            h.update(p.read_bytes())
    return h.hexdigest()


def ensure_tarnix(mode):
    """Returns (env for tarnix workers, versions, skipped) for the two tarnix rows."""
    skipped = {}
    env = dict(os.environ)
    if mode == "off":
        return env, {}, {c: "--tarnix off" for c in TARNIX_ROWS}
    if not (ROOT / "tarnix").is_dir():
        return env, {}, {c: "no tarnix package in this checkout yet" for c in TARNIX_ROWS}
    if mode == "inplace":
        # The developer's in-place build (TARNIX_DEV_INPLACE) straight from the tree.
        env["PYTHONPATH"] = str(ROOT) + os.pathsep + env.get("PYTHONPATH", "")
    else:
        stamp = VENV / "tarnix-source.sha256"
        digest = _source_digest()
        if not stamp.exists() or stamp.read_text() != digest or not installed_version("tarnix"):
            log("pip install tarnix from the repository (Release build, -j2)")
            benv = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")
            r = pip("install", "--force-reinstall", "--no-deps", str(ROOT), env=benv)
            if r.returncode != 0:
                reason = f"pip install . failed: {_last_error_line(r.stderr + r.stdout)}"
                return env, {}, {c: reason for c in TARNIX_ROWS}
            stamp.write_text(digest)
    probe = ("import tarnix, sys\n"
             "ok_client = hasattr(tarnix, 'Client')\n"
             "try:\n"
             "    from tarnix import _tarnix; import tarnix.core.http as h; h._settle\n"
             "    ok_raw = True\n"
             "except Exception as e:\n"
             "    ok_raw = repr(e)\n"
             "print(ok_client, ok_raw, getattr(tarnix, '__version__', ''), tarnix.__file__)\n")
    r = subprocess.run([venv_python(), "-c", probe], capture_output=True, text=True,
                       env=env, cwd=str(HERE))
    if r.returncode != 0:
        reason = f"import tarnix failed: {_last_error_line(r.stderr)}"
        return env, {}, {c: reason for c in TARNIX_ROWS}
    parts = r.stdout.split(None, 2)
    version = (installed_version("tarnix") if mode == "pip" else "in-place") or "?"
    versions = {}
    if parts[0] != "True":
        skipped["tarnix"] = "tarnix.Client is not in this checkout yet"
    else:
        versions["tarnix"] = version
    if parts[1] != "True":
        skipped["tarnix-raw"] = f"engine functions unavailable: {parts[1]}"
    else:
        versions["tarnix-raw"] = version
    return env, versions, skipped


def wheel_env(wheel, base_env):
    """The environment that imports tarnix from the unpacked wheel, and its label."""
    import zipfile
    shutil.rmtree(WHEEL_SITE, ignore_errors=True)
    with zipfile.ZipFile(wheel) as z:
        z.extractall(WHEEL_SITE)
    for so in WHEEL_SITE.rglob("*.so"):
        so.chmod(0o755)
    env = dict(base_env)
    env["PYTHONPATH"] = str(WHEEL_SITE) + os.pathsep + env.get("PYTHONPATH", "")
    return env, Path(wheel).name


def wheel_target(summary):
    """The release wheel's CPU per new-connection request against the source build's."""
    w = summary.get(5, {}).get(WHEEL_ROW, {}).get("cpu_s_per_1k")
    b = summary.get(5, {}).get("tarnix", {}).get("cpu_s_per_1k")
    ratio = w / b if w and b else None
    return [{"target": "(5) release wheel CPU per request <= 0.8x the source build's",
             "met": None if ratio is None else ratio <= 0.8,
             "figures": f"CPU s/1k {fmt(w, 3)} vs {fmt(b, 3)}"
                        + (f" (x{ratio:.2f})" if ratio else "")}]


# ---------------------------------------------------------------- server

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


NGINX_CONF = """\
worker_processes {workers};
worker_rlimit_nofile 65536;
pid {d}/nginx.pid;
error_log {d}/error.log warn;
daemon off;
master_process on;
events {{ worker_connections 16384; multi_accept on; }}
http {{
    access_log off;
    server_tokens off;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    keepalive_timeout 300s;
    keepalive_requests 100000000;
    client_max_body_size 4m;
    client_body_buffer_size 64k;
    client_body_temp_path {d}/tmp/body;
    proxy_temp_path {d}/tmp/proxy;
    fastcgi_temp_path {d}/tmp/fastcgi;
    uwsgi_temp_path {d}/tmp/uwsgi;
    scgi_temp_path {d}/tmp/scgi;
    gzip off;
    ssl_certificate {d}/server.pem;
    ssl_certificate_key {d}/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    # Every new connection is a full handshake, for every client alike.
    ssl_session_cache off;
    ssl_session_tickets off;
    ssl_conf_command NumTickets 0;

    server {{
        listen 127.0.0.1:{http} backlog=4096;
        listen 127.0.0.1:{https} ssl backlog=4096;
        root {d}/www;
        include {d}/locations.conf;
    }}
    server {{
        # The handshake scenario: the server closes after every response.
        listen 127.0.0.1:{https_close} ssl backlog=4096;
        keepalive_timeout 0;
        root {d}/www;
        include {d}/locations.conf;
    }}
    server {{
        listen 127.0.0.1:{status};
        location = /status {{ stub_status; }}
    }}
}}
"""

LOCATIONS_CONF = """\
location = /small {{ default_type text/plain; return 200 "{small}"; }}
location = /1m {{ alias {d}/www/1m.bin; }}
# SSI drops Content-Length, so the file goes out chunked, one chunk per 4 KiB
# output buffer; no subrequests, so the server stays cheap.
location = /chunked {{ ssi on; ssi_types *; default_type text/plain; output_buffers 4 4k;
                      alias {d}/www/chunked.txt; }}
location = /sink {{ default_type text/plain; return 200 "$content_length"; }}
"""


class Nginx:
    def __init__(self, workers, venv_py):
        self.dir = Path(tempfile.mkdtemp(prefix="tarnix-bench-"))
        self.proc = None
        self.workers = workers
        self.venv_py = venv_py
        self.ports = {k: free_port() for k in ("http", "https", "https_close", "status")}

    def start(self):
        d = self.dir
        os.chmod(d, 0o755)
        (d / "www").mkdir()
        (d / "tmp").mkdir()
        (d / "www" / "1m.bin").write_bytes(os.urandom(ONE_MIB))
        (d / "www" / "chunked.txt").write_text("0123456789abcdef" * (CHUNKED_SIZE // 16))
        subprocess.run([self.venv_py, str(HERE / "certs.py"), str(d)], check=True)
        (d / "locations.conf").write_text(LOCATIONS_CONF.format(
            d=d, small=SMALL_BODY.replace("\n", "\\n")))
        (d / "nginx.conf").write_text(NGINX_CONF.format(d=d, workers=self.workers,
                                                        **self.ports))
        for p in d.rglob("*"):
            os.chmod(p, 0o755 if p.is_dir() else 0o644)
        exe = find_nginx()
        self.proc = subprocess.Popen(
            [exe, "-p", str(d), "-c", str(d / "nginx.conf"), "-e", str(d / "error.log")],
            stdout=subprocess.DEVNULL, stderr=open(d / "stderr.log", "wb"),
            preexec_fn=_die_with_parent)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise SystemExit("nginx exited at start:\n" +
                                 (d / "stderr.log").read_text(errors="replace") +
                                 (d / "error.log").read_text(errors="replace"))
            try:
                for port in self.ports.values():
                    socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
                break
            except OSError:
                time.sleep(0.05)
        else:
            raise SystemExit("nginx did not start listening in 10 s")
        self.ca = str(d / "ca.pem")

    def accepted(self):
        """Connections nginx has accepted so far, from its status page."""
        url = f"http://127.0.0.1:{self.ports['status']}/status"
        with urllib.request.urlopen(url, timeout=5) as r:
            text = r.read().decode()
        # ... "server accepts handled requests\n A H R"; the status request is one too.
        a, _, _ = text.splitlines()[2].split()
        return int(a)

    def url(self, origin, path):
        scheme = "http" if origin == "http" else "https"
        port = self.ports[origin.replace("-", "_")]
        return f"{scheme}://127.0.0.1:{port}{path}"

    def stop(self):
        _end(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)


def _end(proc):
    """Stops a server process: politely, then for good after 10 s."""
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class DelayServer:
    """The burst scenarios' server (delay_server.py), in a process of its own."""

    def __init__(self, delay):
        self.delay = delay
        self.ports = {"delay": free_port()}
        self.ca = ""
        self.proc = None
        self.log = tempfile.TemporaryFile()

    def start(self):
        self.proc = subprocess.Popen(
            [sys.executable, str(HERE / "delay_server.py"), str(self.ports["delay"]),
             str(self.delay)], stdout=subprocess.DEVNULL, stderr=self.log,
            preexec_fn=_die_with_parent)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                self.log.seek(0)
                raise SystemExit("the delay server exited at start:\n" +
                                 self.log.read().decode(errors="replace"))
            try:
                socket.create_connection(("127.0.0.1", self.ports["delay"]),
                                         timeout=0.5).close()
                return
            except OSError:
                time.sleep(0.05)
        raise SystemExit("the delay server did not start listening in 10 s")

    def accepted(self):
        with urllib.request.urlopen(self.url("delay", "/status"), timeout=30) as r:
            return int(r.read().decode().split()[1])

    def url(self, origin, path):
        return f"http://127.0.0.1:{self.ports['delay']}{path}"

    def stop(self):
        _end(self.proc)
        self.log.close()


def listen_drops():
    """The kernel's count of connections dropped at a full listen queue."""
    try:
        with open("/proc/net/netstat") as f:
            lines = [ln.split() for ln in f if ln.startswith("TcpExt:")]
        return int(dict(zip(lines[0][1:], lines[1][1:]))["ListenDrops"])
    except (OSError, IndexError, KeyError, ValueError):
        return None


def nginx_version():
    r = subprocess.run([find_nginx(), "-v"], capture_output=True, text=True)
    return (r.stderr or r.stdout).strip().split("/")[-1]


# ---------------------------------------------------------------- wrk ceiling

WRK_POST_LUA = f"""\
wrk.method = "POST"
wrk.body = string.rep("x", {POST_SIZE})
wrk.headers["Content-Type"] = "application/octet-stream"
"""


def _wrk_time(text):
    m = re.match(r"([\d.]+)(us|ms|s|m)$", text)
    if not m:
        return None
    v = float(m.group(1))
    return v * {"us": 1e-3, "ms": 1.0, "s": 1e3, "m": 6e4}[m.group(2)]


def run_wrk(server, sc, duration, workdir):
    url = server.url(sc["origin"], sc["path"])
    conns = sc["limit"]
    cmd = ["wrk", "-t1", f"-c{conns}", f"-d{duration}s", "--latency"]
    if sc["method"] == "POST":
        lua = Path(workdir) / "post.lua"
        lua.write_text(WRK_POST_LUA)
        cmd += ["-s", str(lua)]
    cmd.append(url)
    before_acc = server.accepted()
    ru0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=duration + 60,
                       preexec_fn=_die_with_parent)
    ru1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    conns_used = server.accepted() - before_acc - 1
    out = r.stdout
    res = {"ok": r.returncode == 0, "cmd": " ".join(cmd[:-1]) + " URL"}
    m = re.search(r"(\d+) requests in ([\d.]+)(\w+)", out)
    rps = re.search(r"Requests/sec:\s+([\d.]+)", out)
    if not (m and rps):
        res.update(ok=False, error=(out + r.stderr)[-500:])
        return res
    n = int(m.group(1))
    cpu = (ru1.ru_utime - ru0.ru_utime) + (ru1.ru_stime - ru0.ru_stime)
    res.update(requests=n, rps=float(rps.group(1)), cpu_s=cpu,
               cpu_s_per_1k=cpu / n * 1000 if n else None, conns=conns_used)
    for q, key in (("50%", "lat_p50_ms"), ("99%", "lat_p99_ms")):
        mq = re.search(rf"^\s+{re.escape(q)}\s+(\S+)", out, re.M)
        res[key] = _wrk_time(mq.group(1)) if mq else None
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    errs = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    if bad:
        res.update(ok=False, error=f"{bad.group(1)} non-2xx responses")
    if errs and sum(map(int, errs.groups())) and sc["origin"] != "https-close":
        # With the server closing each connection wrk counts the closes as read errors.
        res["socket_errors"] = errs.group(0)
    return res


# ---------------------------------------------------------------- client runs

def run_client(client, sc_id, sc, server, scale, env, timeout):
    n = max(1, int(sc["n"] * scale))
    k = kind(sc)
    inflight = n if k == "burst" else sc["inflight"]
    warmup = min(n, max(n // 10, min(inflight, n)))
    cfg = {
        "client": client, "kind": k, "url": server.url(sc["origin"], sc["path"]),
        "host": "127.0.0.1", "port": server.ports[sc["origin"].replace("-", "_")],
        "tls": sc["origin"] not in ("http", "delay"), "path": sc["path"],
        "method": sc["method"], "body_size": POST_SIZE if sc["method"] == "POST" else 0,
        "expect_len": sc["expect_len"], "n": n, "inflight": inflight,
        "limit": n if k == "burst" else sc["limit"], "warmup": warmup, "ca": server.ca,
    }
    if k == "busy":
        # The burners stop on their own before the harness would kill the run.
        cfg.update(load=sc["load"], idle_s=BUSY_IDLE_S, limit_s=max(1, timeout - 10))
    elif k == "hosts":
        scheme = "https" if cfg["tls"] else "http"
        cfg.update(url_template=f"{scheme}://h{{i}}.many.localhost:{cfg['port']}{sc['path']}",
                   settle_s=HOSTS_SETTLE_S)
    elif k == "burst":
        timeout = min(timeout, BURST_TIMEOUT_S)
        cfg.update(warmup_url=server.url(sc["origin"], "/now"), warmup_path="/now",
                   request_timeout=BURST_REQUEST_TIMEOUT_S)
    before_acc = server.accepted()
    drops0 = listen_drops()
    ru0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.monotonic()
    try:
        r = subprocess.run([venv_python(), str(HERE / "worker.py"), json.dumps(cfg)],
                           capture_output=True, text=True, timeout=timeout, env=env,
                           cwd=str(HERE), preexec_fn=_die_with_parent)
    except subprocess.TimeoutExpired:
        return {"ok": False, "killed": True,
                "error": f"timed out after {timeout} s (killed)"}
    ru1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    res = None
    for line in reversed(r.stdout.splitlines()):
        if line.startswith("{"):
            try:
                res = json.loads(line)
                break
            except ValueError:
                pass
    if res is None:
        res = {"ok": False, "error": f"exit {r.returncode}: {_last_error_line(r.stderr)}"}
    # Connections the client opened, warm-up included (minus the status request).
    res["conns"] = server.accepted() - before_acc - 1
    res["process_s"] = time.monotonic() - t0
    # The whole process (imports, warm-up and exit too), as the kernel counted it.
    res["process_cpu_s"] = (ru1.ru_utime - ru0.ru_utime) + (ru1.ru_stime - ru0.ru_stime)
    drops1 = listen_drops()
    if k == "burst" and None not in (drops0, drops1):
        res["listen_drops"] = drops1 - drops0
    if r.returncode != 0 and "rps" in res:
        # Every response was checked before the process died on its way out:
        # the figures stand, and the crash is reported next to them.
        res["exit_crash"] = f"exited {r.returncode} after the run: {_last_error_line(r.stderr)}"
    res["stderr_tail"] = r.stderr[-1500:] if r.returncode != 0 else ""

    return res


# ---------------------------------------------------------------- summary

def median(xs):
    xs = [x for x in xs if x is not None]
    return statistics.median(xs) if xs else None


# Per kind of scenario: the figures given as medians over the repeats, the
# one whose presence means a client has figures, and the ratios to aiohttp
# (name: figure) taken within each repeat.
MEDIANS = {
    "load": ("rps", "cpu_s_per_1k", "rss_peak_mib", "lat_p50_ms", "lat_p99_ms", "conns"),
    "busy": ("lat_p50_ms", "lat_p90_ms", "lat_p99_ms", "lat_mean_ms", "work_per_s",
             "work_idle_per_s", "cpu_s_per_1k", "rss_peak_mib", "conns"),
    "burst": ("wall_s", "cpu_s", "rss_peak_mib", "succeeded", "requests", "lat_p50_ms",
              "lat_p99_ms", "conns", "listen_drops", "process_cpu_s"),
    "hosts": ("wall_s", "cpu_s", "rss_peak_mib", "rss_growth_mib", "stall_max_ms",
              "stall_p99_ms", "loop_cpu_s_per_1k", "sockets_at_end", "sockets_later", "conns"),
}
HAS_FIGURES = {"load": "rps", "busy": "lat_p99_ms", "burst": "wall_s", "hosts": "wall_s"}
VS_AIOHTTP = {
    "load": {"x_aiohttp": "rps", "cpu_x_aiohttp": "cpu_s_per_1k"},
    "busy": {"p99_x_aiohttp": "lat_p99_ms", "mean_x_aiohttp": "lat_mean_ms",
             "work_x_aiohttp": "work_per_s"},
    "burst": {"wall_x_aiohttp": "wall_s", "cpu_x_aiohttp": "cpu_s"},
    "hosts": {"wall_x_aiohttp": "wall_s", "cpu_x_aiohttp": "cpu_s",
              "rss_x_aiohttp": "rss_growth_mib"},
}


def _finished(run, k):
    # A burst run that lost requests still has its figures (and says how many
    # succeeded); a killed or crashed one has none.
    return run.get("ok") or (k == "burst" and "wall_s" in run)


def summarise(runs, ceiling, clients, scenario_ids, repeats):
    """Medians per client and scenario, and ratios computed within each repeat."""
    by = {}
    for r in runs:
        by.setdefault((r["scenario"], r["client"]), {})[r["repeat"]] = r
    summary = {}
    for s in scenario_ids:
        k = kind(SCENARIOS[s])
        row = {}
        for c in clients:
            reps = by.get((s, c), {})
            good = [x for x in reps.values() if _finished(x, k)]
            entry = {"runs": len(reps), "ok_runs": sum(1 for x in good if x.get("ok")),
                     "exit_crashes": sum(1 for x in reps.values() if x.get("exit_crash"))}
            if len(good) == len(reps) and good:
                for key in MEDIANS[k]:
                    entry[key] = median([x.get(key) for x in good])
                if k == "burst":
                    entry["succeeded_min"] = min(x["succeeded"] for x in good)
            bad = [x for x in reps.values() if not x.get("ok")]
            if bad:
                entry["error"] = bad[0].get("error", "failed")
            if not reps:
                entry["error"] = "no runs"
            row[c] = entry
        # Ratios from one repeat at a time: each run compared with the others
        # that ran next to it, then the median over repeats.
        for c in clients:
            if HAS_FIGURES[k] not in row[c]:
                continue
            ratios = {name: [] for name in VS_AIOHTTP[k]}
            vs_best = []
            for i in range(repeats):
                me = by.get((s, c), {}).get(i)
                aio = by.get((s, "aiohttp"), {}).get(i)
                peers = [by.get((s, p), {}).get(i) for p in PEERS if p in clients]
                peers = [p for p in peers if p and p.get("ok")]
                if not me or not _finished(me, k):
                    continue
                if aio and _finished(aio, k):
                    for name, key in VS_AIOHTTP[k].items():
                        if me.get(key) is not None and aio.get(key):
                            ratios[name].append(me[key] / aio[key])
                if peers and k == "load":
                    vs_best.append(me["rps"] / max(p["rps"] for p in peers))
            for name, xs in ratios.items():
                row[c][name] = median(xs)
            if k == "load":
                row[c]["x_best_peer"] = median(vs_best)
        ok_peers = [p for p in PEERS if p in row and "rps" in row[p]]
        if ok_peers and k == "load":
            row["_best_peer"] = max(ok_peers, key=lambda p: row[p]["rps"])
        ceil = [x for x in ceiling.get(s, []) if x.get("ok")]
        if ceil:
            row["wrk"] = {k: median([x.get(k) for x in ceil])
                          for k in ("rps", "cpu_s_per_1k", "lat_p50_ms", "lat_p99_ms",
                                    "conns")}
        summary[s] = row
    _burst_growth(summary, by, clients, scenario_ids, repeats)
    return summary


def _burst_growth(summary, by, clients, scenario_ids, repeats):
    """Each burst size's CPU over the smallest size's, within each repeat."""
    bursts = sorted((s for s in scenario_ids if kind(SCENARIOS[s]) == "burst"),
                    key=lambda s: SCENARIOS[s]["n"])
    if len(bursts) < 2:
        return
    first = bursts[0]
    for s in bursts[1:]:
        for c in clients:
            entry = summary[s].get(c, {})
            if "wall_s" not in entry or "wall_s" not in summary[first].get(c, {}):
                continue
            cpu, size = [], []
            for i in range(repeats):
                me, base = by.get((s, c), {}).get(i), by.get((first, c), {}).get(i)
                if me and base and "wall_s" in me and "wall_s" in base and base["cpu_s"]:
                    cpu.append(me["cpu_s"] / base["cpu_s"])
                    size.append(me["requests"] / base["requests"])
            entry["cpu_growth"] = median(cpu)
            entry["n_growth"] = median(size)
            entry["growth_base"] = first


def evaluate_targets(summary, who="tarnix"):
    """The performance targets, judged for one tarnix row; None where not measurable."""
    def get(s, c, k):
        return summary.get(s, {}).get(c, {}).get(k)

    out = []

    def vs_aiohttp(s, min_rps, max_cpu):
        x, cx = get(s, who, "x_aiohttp"), get(s, who, "cpu_x_aiohttp")
        met = None if x is None or (max_cpu is not None and cx is None) else \
            (x >= min_rps and (max_cpu is None or cx <= max_cpu))
        target = f"({s}) >= {min_rps}x aiohttp req/s" + \
            (f", <= {max_cpu}x its CPU per request" if max_cpu is not None else "")
        out.append({"target": target, "met": met,
                    "figures": f"x aiohttp {fmt(x, 2)}, CPU x aiohttp {fmt(cx, 2)}"})

    for s in (2, 4, 7):
        vs_aiohttp(s, 1.3, 0.7)
    vs_aiohttp(6, 1.0, 1.2)
    vs_aiohttp(5, 1.2, None)
    c2, c3 = get(2, who, "cpu_s_per_1k"), get(3, who, "cpu_s_per_1k")
    out.append({"target": "(3) CPU per request at most (2)'s",
                "met": None if None in (c2, c3) else c3 <= c2,
                "figures": f"CPU s/1k {fmt(c3, 3)} vs {fmt(c2, 3)}"
                           + (f" (x{c3 / c2:.2f})" if c2 and c3 else "")})
    l1, a1 = get(1, who, "lat_p50_ms"), get(1, "aiohttp", "lat_p50_ms")
    out.append({"target": "(1) median latency at most 0.8x aiohttp's",
                "met": None if None in (l1, a1) else l1 <= 0.8 * a1,
                "figures": f"{fmt(l1, 3)} ms vs {fmt(a1, 3)} ms"
                           + (f" (x{l1 / a1:.2f})" if l1 and a1 else "")})
    rss = []
    for s in sorted(x for x in summary if kind(SCENARIOS[x]) == "load"):
        m, a = get(s, who, "rss_peak_mib"), get(s, "aiohttp", "rss_peak_mib")
        if m is not None and a is not None:
            rss.append((s, m <= a, m, a))
    out.append({"target": "peak RSS at most aiohttp's in every scenario of (1)-(8)",
                "met": None if not rss else all(x[1] for x in rss),
                "figures": "; ".join(f"({s}) {fmt(m, 1)} vs {fmt(a, 1)} MiB{'' if ok else ' MISSED'}"
                                     for s, ok, m, a in rss)})

    def judged(conds):
        return None if any(c is None for c in conds) else all(conds)

    for s in sorted(x for x in summary if kind(SCENARIOS[x]) == "busy"):
        p99, mean, work = (get(s, who, k) for k in
                           ("p99_x_aiohttp", "mean_x_aiohttp", "work_x_aiohttp"))
        out.append({"target": f"({s}) p99 latency <= 1.5x aiohttp's, mean <= aiohttp's, "
                              "loop work per second >= aiohttp's run",
                    "met": judged([None if p99 is None else p99 <= 1.5,
                                   None if mean is None else mean <= 1.0,
                                   None if work is None else work >= 1.0]),
                    "figures": f"p99 x{fmt(p99, 2)}, mean x{fmt(mean, 2)}, "
                               f"work x{fmt(work, 2)} ({fmt(get(s, who, 'lat_p99_ms'), 2)} vs "
                               f"{fmt(get(s, 'aiohttp', 'lat_p99_ms'), 2)} ms p99)"})
    bursts = sorted((x for x in summary if kind(SCENARIOS[x]) == "burst"),
                    key=lambda x: SCENARIOS[x]["n"])
    for s in bursts:
        wall, cpu = get(s, who, "wall_x_aiohttp"), get(s, who, "cpu_x_aiohttp")
        e = summary[s].get(who, {})
        # Every request must have succeeded in every repeat: no winning by failing.
        complete = None if "wall_s" not in e else \
            (e["succeeded_min"] == e["requests"] and e["ok_runs"] == e["runs"])
        out.append({"target": f"({s}) wall time and CPU at most aiohttp's, every request "
                              "answered",
                    "met": judged([None if wall is None else wall <= 1.0,
                                   None if cpu is None else cpu <= 1.0, complete]),
                    "figures": f"wall x{fmt(wall, 2)}, CPU x{fmt(cpu, 2)}, "
                               f"succeeded {fmt(e.get('succeeded_min'), 0)} of "
                               f"{fmt(e.get('requests'), 0)}"})
    for s in sorted(x for x in summary if kind(SCENARIOS[x]) == "hosts"):
        e = summary[s].get(who, {})
        a = summary[s].get("aiohttp", {})
        wall, cpu = get(s, who, "wall_x_aiohttp"), get(s, who, "cpu_x_aiohttp")
        grow, agrow = e.get("rss_growth_mib"), a.get("rss_growth_mib")
        later, stall = e.get("sockets_later"), e.get("stall_max_ms")
        out.append({"target": f"({s}) at most 30 sockets open {HOSTS_SETTLE_S} s after the "
                              "last request",
                    "met": None if later is None else later <= 30,
                    "figures": f"{fmt(later, 0)} (at the last request {fmt(e.get('sockets_at_end'), 0)})"})
        out.append({"target": f"({s}) RSS growth and wall time at most aiohttp's",
                    "met": judged([None if grow is None or agrow is None else grow <= agrow,
                                   None if wall is None else wall <= 1.0]),
                    "figures": f"RSS growth {fmt(grow, 1)} vs {fmt(agrow, 1)} MiB, wall "
                               f"x{fmt(wall, 2)}, CPU x{fmt(cpu, 2)}"})
        per = e.get("loop_cpu_s_per_1k")
        out.append({"target": f"({s}) the loop's own work per new origin at most 1 ms",
                    "met": None if per is None else per <= 1.0,
                    "figures": f"loop thread CPU {fmt(per, 3)} ms per origin"})
        out.append({"target": f"({s}) no stall of the loop over 1 ms",
                    "met": None if stall is None else stall <= 1.0,
                    "figures": f"longest overrun of a 1 ms sleep {fmt(stall, 2)} ms, p99 "
                               f"{fmt(e.get('stall_p99_ms'), 3)} ms"})
    if len(bursts) >= 2:
        # CPU may grow with N but not faster: CPU(N)/CPU(N0) <= 1.25 * N/N0.
        rows = [(s, get(s, who, "cpu_growth"), get(s, who, "n_growth")) for s in bursts[1:]]
        met = judged([None if g is None else g <= BURST_GROWTH_SLACK * n for _, g, n in rows])
        out.append({"target": f"burst CPU grows no faster than N: CPU(N)/CPU(smallest N) <= "
                              f"{BURST_GROWTH_SLACK} x N/(smallest N)",
                    "met": met,
                    "figures": "; ".join(f"({s}) x{fmt(g, 2)} for N x{fmt(n, 1)}"
                                         for s, g, n in rows)})
    return out


def fmt(v, digits):
    if v is None:
        return "-"
    if digits == 0:
        return f"{v:,.0f}"
    return f"{v:,.{digits}f}"


# Columns per kind of scenario: (heading, figure, digits[, divisor]).
COLUMNS = {
    "load": [("req/s", "rps", 0), ("x aiohttp", "x_aiohttp", 2),
             ("x best peer", "x_best_peer", 2), ("CPU s/1k", "cpu_s_per_1k", 3),
             ("CPU x aio", "cpu_x_aiohttp", 2), ("p50 ms", "lat_p50_ms", 3),
             ("p99 ms", "lat_p99_ms", 3), ("peak RSS MiB", "rss_peak_mib", 1),
             ("conns", "conns", 0)],
    "busy": [("p50 ms", "lat_p50_ms", 3), ("p90 ms", "lat_p90_ms", 3),
             ("p99 ms", "lat_p99_ms", 3), ("mean ms", "lat_mean_ms", 3),
             ("p99 x aio", "p99_x_aiohttp", 2), ("mean x aio", "mean_x_aiohttp", 2),
             ("work/s", "work_per_s", 0), ("work x aio", "work_x_aiohttp", 2),
             ("idle work/s", "work_idle_per_s", 0), ("CPU s/1k", "cpu_s_per_1k", 3),
             ("peak RSS MiB", "rss_peak_mib", 1), ("conns", "conns", 0)],
    "burst": [("succeeded", "succeeded_min", 0), ("wall s", "wall_s", 2),
              ("wall x aio", "wall_x_aiohttp", 2), ("CPU s", "cpu_s", 2),
              ("CPU x aio", "cpu_x_aiohttp", 2), ("CPU x first N", "cpu_growth", 2),
              ("peak RSS MiB", "rss_peak_mib", 1), ("p50 s", "lat_p50_ms", 2, 1000),
              ("conns", "conns", 0), ("listen drops", "listen_drops", 0)],
    "hosts": [("wall s", "wall_s", 2), ("wall x aio", "wall_x_aiohttp", 2),
              ("CPU s", "cpu_s", 2), ("CPU x aio", "cpu_x_aiohttp", 2),
              ("peak RSS MiB", "rss_peak_mib", 1), ("RSS growth MiB", "rss_growth_mib", 1),
              ("longest stall ms", "stall_max_ms", 2), ("stall p99 ms", "stall_p99_ms", 3),
              ("loop CPU ms/origin", "loop_cpu_s_per_1k", 3), ("sockets at end", "sockets_at_end", 0),
              (f"sockets {HOSTS_SETTLE_S} s later", "sockets_later", 0),
              ("conns", "conns", 0)],
}


def _cell(e, key, digits, divisor=1):
    v = e.get(key)
    return fmt(None if v is None else v / divisor, digits)


def print_table(summary, scenario_ids, clients, scale, out=sys.stdout, markdown=False):
    for s in scenario_ids:
        sc = SCENARIOS[s]
        k = kind(sc)
        spec = COLUMNS[k]
        cols = ["client"] + [col[0] for col in spec]
        n = max(1, int(sc["n"] * scale))
        title = sc["title"] if scale == 1 else f"{sc['title']} [scaled: {n:,} requests]"
        print(f"\n{'**' if markdown else ''}({s}) {title}{'**' if markdown else ''}", file=out)
        row = summary[s]
        rows = []
        if "wrk" in row:
            w = row["wrk"]
            rows.append(["wrk (ceiling)", fmt(w["rps"], 0), "", "", fmt(w["cpu_s_per_1k"], 3),
                         "", fmt(w["lat_p50_ms"], 3), fmt(w["lat_p99_ms"], 3), "",
                         fmt(w["conns"], 0)])
        notes = []
        for c in clients:
            e = row.get(c)
            if e is None or not e.get("runs"):
                continue
            name = c + (" *" if row.get("_best_peer") == c else "")
            if HAS_FIGURES[k] not in e:
                rows.append([name, "FAILED: " + str(e.get("error", ""))[:90]])
                continue
            cells = [_cell(e, *col[1:]) for col in spec]
            if k == "burst":
                cells[0] = f"{cells[0]}/{fmt(e['requests'], 0)}"
                if e.get("error"):
                    notes.append(f"{c}: requests failed in {e['runs'] - e['ok_runs']} of "
                                 f"{e['runs']} run(s); first error: {e['error'][:200]}")
            rows.append([name] + cells)
        if markdown:
            print("", file=out)
            print("| " + " | ".join(cols) + " |", file=out)
            print("|---" + "|---:" * (len(cols) - 1) + "|", file=out)
            for r in rows:
                r = r if len(r) > 2 else r + [""] * (len(cols) - 2)
                print("| " + " | ".join(r) + " |", file=out)
        else:
            widths = [max([len(cols[i])] + [len(r[i]) for r in rows if len(r) > 2])
                      for i in range(len(cols))]
            print("  " + "  ".join(c.ljust(widths[i]) if i == 0 else c.rjust(widths[i])
                                   for i, c in enumerate(cols)), file=out)
            for r in rows:
                if len(r) == 2:
                    print("  " + r[0].ljust(widths[0]) + "  " + r[1], file=out)
                    continue
                print("  " + "  ".join(v.ljust(widths[i]) if i == 0 else v.rjust(widths[i])
                                       for i, v in enumerate(r)), file=out)
        for note in notes:
            print(f"{'' if markdown else '  '}note: {note}", file=out)
        for c in clients:
            e = row.get(c) or {}
            if e.get("exit_crashes"):
                print(f"{'' if markdown else '  '}note: {c} crashed on exit in "
                      f"{e['exit_crashes']} of {e['runs']} run(s), after every response of "
                      "the run had been checked", file=out)


def report(meta, summary, targets, scenario_ids, clients, out, markdown=False):
    scale, repeats = meta["scale"], meta["repeats"]
    label = "QUICK SMOKE RUN (scaled counts, not the measured result)" if scale != 1 else \
        "full run"
    m = meta["machine"]
    lines = [
        f"tarnix benchmark, {meta['date']}, {label}; medians of {repeats} repeat(s); "
        "ratios are per repeat, then the median",
        f"machine: {m.get('cpu', '?')}, {m['cores']} cores, {m.get('memory_gib', '?')} GiB, "
        f"{m.get('os', m['platform'])}; Python {m['python']}; nginx {meta['nginx']} "
        f"({meta['nginx_workers']} worker)",
        "versions: " + ", ".join(f"{k} {v}" for k, v in meta["versions"].items()
                                 if k in clients),
    ]
    lines += [f"SKIPPED {c}: {why}" for c, why in meta["skipped"].items()]
    lines += [f"SKIPPED scenario {s}: {why}"
              for s, why in meta.get("skipped_scenarios", {}).items()]
    sep = "\n\n" if markdown else "\n"
    print(sep.join(lines), file=out)
    print_table(summary, scenario_ids, clients, scale, out, markdown)
    print("\n* = best peer in that scenario. CPU s/1k = user+system CPU seconds of the "
          "client process per 1,000 requests. conns = connections nginx accepted during "
          "the run (warm-up included).", file=out)
    kinds = {kind(SCENARIOS[s]) for s in scenario_ids}
    if "busy" in kinds:
        print("Busy loop: latency of each sequential request while the load runs; work/s = "
              "1 ms slices of pure-Python work the burner tasks (blocking rows: the main "
              "thread) finished per second of the requests' wall time; idle work/s = the "
              "same load alone in the same process, just before.", file=out)
    if "hosts" in kinds:
        print(f"Many hosts: one request to each of h0.many.localhost ... (one nginx), each "
              f"client with its own keep-alive defaults; wall s and CPU s from the first "
              f"request to the last; RSS growth = peak RSS over the peak before the first "
              f"request; longest stall = the most a 1 ms sleep on the loop overran (the "
              f"loop's own work and the time its thread waited for a core); loop CPU = the "
              f"loop thread's CPU time per origin; sockets "
              f"= the client process's open sockets at the last response and "
              f"{HOSTS_SETTLE_S} s later, the client still open.", file=out)
    if "burst" in kinds:
        print("Burst: every request started at once, connection limit N, each answered "
              "after 2 s by the delay server; wall s and CPU s (user+system of the client "
              "process) from the first request to the last outcome; succeeded = fewest "
              "answered of the repeats; CPU x first N = CPU over the smallest N's in the "
              "same repeat; conns = connections the server accepted (warm-up included); "
              "listen drops = the kernel's count of connections dropped at a full listen "
              "queue during the run (machine-wide).", file=out)
    for who, ts in targets.items():
        print(f"\nTargets for {who}" + (" (quick run: indicative only)" if scale != 1
                                        else "") + ":" + ("\n" if markdown else ""), file=out)
        for t in ts:
            verdict = {True: "met", False: "MISSED", None: "n/a"}[t["met"]]
            print(f"{'-' if markdown else ' '} [{verdict:6}] {t['target']}: {t['figures']}",
                  file=out)


def machine_info():
    info = {"platform": platform.platform(), "cores": os.cpu_count()}
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                info["cpu"] = line.split(":", 1)[1].strip()
                break
        for line in open("/proc/meminfo"):
            if line.startswith("MemTotal"):
                info["memory_gib"] = round(int(line.split()[1]) / 1024 / 1024, 1)
                break
        for line in open("/etc/os-release"):
            if line.startswith("PRETTY_NAME="):
                info["os"] = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    r = subprocess.run([venv_python(), "-c", "import sys; print(sys.version.split()[0])"],
                       capture_output=True, text=True)
    info["python"] = r.stdout.strip()
    return info


# ---------------------------------------------------------------- main

def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true",
                   help="smoke run: request counts / 10 and one repeat")
    p.add_argument("--scale", type=float, help="multiply every request count (default 1)")
    p.add_argument("--repeats", type=int, help="runs per client and scenario (default 3)")
    p.add_argument("--scenarios", default=",".join(str(s) for s in SCENARIOS),
                   help="comma-separated scenario numbers, or busy (9,10), burst "
                        "(11,12,13) and hosts (14,15) (default all)")
    p.add_argument("--clients", default=",".join(CLIENTS),
                   help=f"comma-separated clients (default {','.join(CLIENTS)})")
    p.add_argument("--tarnix", choices=("pip", "inplace", "off"), default="pip",
                   help="pip: install the repository into the venv (rebuilt when the "
                        "source changes); inplace: use the tree's in-place build")
    p.add_argument("--wheel", help="also run a release wheel's tarnix (the client row "
                   f"{WHEEL_ROW}), imported from the unpacked wheel")
    p.add_argument("--no-wrk", action="store_true", help="skip the wrk ceiling")
    p.add_argument("--wrk-duration", type=int, help="seconds per wrk run (5; quick: 1)")
    p.add_argument("--nginx-workers", type=int, default=1,
                   help="nginx worker processes (default 1, leaving a core to the client)")
    p.add_argument("--timeout", type=int,
                   help="seconds allowed per client run (default 600; quick: 120)")
    p.add_argument("--upgrade", action="store_true", help="upgrade the peers in the venv")
    p.add_argument("--output", help="JSON path (default bench/results/bench-DATE.json)")
    return p.parse_args()


def run_status(k, r):
    if k == "burst" and "wall_s" in r:
        return (f"{r['succeeded']:,} of {r['requests']:,} answered in {r['wall_s']:.2f} s, "
                f"{r['cpu_s']:.2f} CPU s, peak RSS {r['rss_peak_mib']:.0f} MiB"
                + ("" if r.get("ok") else f"; first error: {r.get('error')}"))
    if not r.get("ok"):
        return f"FAILED: {r.get('error')}"
    if k == "hosts":
        return (f"{r['wall_s']:.2f} s, {r['cpu_s']:.2f} CPU s, RSS +{r['rss_growth_mib']:.1f} MiB, "
                f"longest stall {r['stall_max_ms']:.2f} ms, sockets {r['sockets_at_end']} at the "
                f"end, {r['sockets_later']} {HOSTS_SETTLE_S} s later")
    if k == "busy":
        return (f"p50 {r['lat_p50_ms']:.2f} ms, p99 {r['lat_p99_ms']:.2f} ms, mean "
                f"{r['lat_mean_ms']:.2f} ms, {r['work_per_s']:,.0f} work/s "
                f"(alone {r['work_idle_per_s']:,.0f})")
    return f"{r['rps']:,.0f} req/s, {r['cpu_s_per_1k']:.3f} CPU s/1k"


def parse_scenarios(text):
    ids = []
    for x in (x.strip() for x in text.split(",")):
        if not x:
            continue
        if x in SCENARIO_NAMES:
            found = SCENARIO_NAMES[x]
        elif x.isdigit() and int(x) in SCENARIOS:
            found = (int(x),)
        else:
            raise SystemExit(f"no scenario {x}; numbers 1-{max(SCENARIOS)} or "
                             f"{', '.join(SCENARIO_NAMES)}")
        ids += [s for s in found if s not in ids]
    return ids


def burst_fits(n):
    """None if N sockets fit under the open-file limit, else why not."""
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < n + FD_SPARE:
        return (f"{n:,} connections need {n + FD_SPARE:,} open files in the client and in "
                f"the server; the hard limit (RLIMIT_NOFILE) is {hard:,}")
    return None


def main():
    args = parse_args()
    scale = args.scale if args.scale is not None else (0.1 if args.quick else 1.0)
    repeats = args.repeats if args.repeats is not None else (1 if args.quick else 3)
    wrk_duration = args.wrk_duration or (1 if args.quick else 5)
    timeout = args.timeout or (120 if scale < 1 else 600)
    scenario_ids = parse_scenarios(args.scenarios)
    every_scenario = set(scenario_ids) == set(SCENARIOS)
    wanted = [c.strip() for c in args.clients.split(",") if c.strip()]
    for c in wanted:
        if c not in CLIENTS:
            raise SystemExit(f"unknown client {c}; known: {', '.join(CLIENTS)}")

    def on_term(signum, frame):
        raise SystemExit(128 + signum)
    signal.signal(signal.SIGTERM, on_term)

    ensure_debian(need_wrk=not args.no_wrk,
                  need_build=args.tarnix == "pip"
                  and any(c in TARNIX_ROWS + ("tarnix-sync",) for c in wanted)
                  and (ROOT / "tarnix").is_dir())
    ensure_venv()
    versions, skipped = ensure_packages(args.upgrade)
    base_env = dict(os.environ)
    tarnix_env = base_env
    if any(c in TARNIX_ROWS + ("tarnix-sync",) for c in wanted):
        tarnix_env, tv, ts = ensure_tarnix(args.tarnix)
        versions.update(tv)
        skipped.update(ts)
    if "httpx" in versions:
        versions["httpx-sync"] = versions["httpx"]
    if "tarnix" in versions:
        versions["tarnix-sync"] = versions["tarnix"]
    for blocking, base in (("httpx-sync", "httpx"), ("tarnix-sync", "tarnix")):
        if base in skipped:
            skipped[blocking] = skipped[base]
    wheel_run_env = None
    if args.wheel:
        wheel_run_env, versions[WHEEL_ROW] = wheel_env(args.wheel, base_env)
        wanted.append(WHEEL_ROW)
    clients = [c for c in wanted if c not in skipped]
    skipped = {c: why for c, why in skipped.items() if c in wanted}
    for c, why in skipped.items():
        log(f"SKIPPED {c}: {why}")
    use_wrk = not args.no_wrk and shutil.which("wrk")
    if not args.no_wrk and not use_wrk:
        skipped["wrk"] = "wrk not installed"

    skipped_scenarios = {}
    for s in scenario_ids:
        if kind(SCENARIOS[s]) == "burst":
            why = burst_fits(max(1, int(SCENARIOS[s]["n"] * scale)))
            if why:
                skipped_scenarios[s] = why
                log(f"SKIPPED scenario {s}: {why}")
    scenario_ids = [s for s in scenario_ids if s not in skipped_scenarios]

    started = datetime.datetime.now()
    meta = {
        "date": started.isoformat(timespec="seconds"),
        "quick": args.quick, "scale": scale, "repeats": repeats,
        "machine": machine_info(), "nginx": nginx_version(),
        "nginx_workers": args.nginx_workers, "versions": versions, "skipped": skipped,
        "tarnix_mode": args.tarnix, "skipped_scenarios": skipped_scenarios,
        "scenarios": {s: dict(SCENARIOS[s], n=max(1, int(SCENARIOS[s]["n"] * scale)))
                      for s in scenario_ids},
    }
    server = Nginx(args.nginx_workers, venv_python())
    delay = DelayServer(BURST_DELAY_S) if any(
        kind(SCENARIOS[s]) == "burst" for s in scenario_ids) else None
    runs, ceiling = [], {}
    try:
        server.start()
        log(f"nginx {meta['nginx']} on 127.0.0.1 ports {server.ports}")
        if delay:
            delay.start()
            log(f"delay server ({BURST_DELAY_S:g} s) on 127.0.0.1 port {delay.ports['delay']}")
        total = repeats * sum(1 for s in scenario_ids for c in clients
                              if (c not in BLOCKING or s in BLOCKING_SCENARIOS)
                              and (kind(SCENARIOS[s]) != "hosts" or c in HOSTS_CLIENTS))
        done = 0
        # Repeats outermost, so every client sees the same stretch of machine noise.
        for rep in range(repeats):
            for s in scenario_ids:
                sc = SCENARIOS[s]
                if use_wrk and kind(sc) == "load":
                    w = run_wrk(server, sc, wrk_duration, server.dir)
                    w["repeat"] = rep
                    ceiling.setdefault(s, []).append(w)
                for c in clients:
                    if c in BLOCKING and s not in BLOCKING_SCENARIOS:
                        continue
                    if kind(sc) == "hosts" and c not in HOSTS_CLIENTS:
                        continue
                    done += 1
                    r = run_client(c, s, sc, delay if sc["origin"] == "delay" else server,
                                   scale,
                                   wheel_run_env if c == WHEEL_ROW else
                                   tarnix_env if c in TARNIX_ROWS + ("tarnix-sync",) else base_env,
                                   timeout)
                    r.update(client=c, scenario=s, repeat=rep)
                    runs.append(r)
                    log(f"[{done}/{total}] repeat {rep + 1} scenario {s} {c}: "
                        f"{run_status(kind(sc), r)}")
    finally:
        server.stop()
        if delay:
            delay.stop()

    summary = summarise(runs, ceiling, clients, scenario_ids, repeats)
    targets = {who: evaluate_targets(summary, who) for who in TARNIX_ROWS if who in clients}
    if WHEEL_ROW in clients and "tarnix" in clients:
        targets[WHEEL_ROW] = wheel_target(summary)
    print()
    report(meta, summary, targets, scenario_ids, clients, sys.stdout)

    RESULTS.mkdir(exist_ok=True)
    path = Path(args.output) if args.output else RESULTS / (
        f"bench-{started:%Y%m%d-%H%M%S}{'-quick' if scale != 1 else ''}.json")
    doc = {"meta": meta, "ceiling": ceiling, "runs": runs, "summary": summary,
           "targets": targets}
    path.write_text(json.dumps(doc, indent=1, default=str))
    shutil.copyfile(path, RESULTS / "latest.json")
    with open(path.with_suffix(".md"), "w") as f:
        report(meta, summary, targets, scenario_ids, clients, f, markdown=True)
    chart = path.with_suffix(".png")
    r = subprocess.run([venv_python(), str(HERE / "chart.py"), str(path), str(chart)],
                       capture_output=True, text=True)
    if r.returncode != 0:
        log(f"no chart: {_last_error_line(r.stderr)}")
    elif scale == 1 and not args.output and every_scenario:
        # The chart docs/benchmarks.md shows: full runs of every scenario only.
        shutil.copyfile(chart, HERE / "chart.png")
    print(f"\nwritten: {path}, {path.with_suffix('.md').name} (Markdown tables) and "
          f"{chart.name} (chart)")
    failed = [r for r in runs if not r.get("ok")]
    if failed:
        print(f"{len(failed)} of {len(runs)} client runs failed (see the table and the JSON)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
