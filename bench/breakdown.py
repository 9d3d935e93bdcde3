#!/usr/bin/env python3
"""Per-request cost breakdown of one client in one scenario.

    python3 bench/breakdown.py --client tarnix-raw --scenario 2 --tarnix inplace
    python3 bench/breakdown.py --client tarnix --scenario 4 --callgrind

Runs the benchmark worker against the benchmark's nginx twice under each tool,
once with N and once with 2N measured requests, and reports the difference
divided by N: imports, start-up and warm-up cancel out, so what is left is the
cost of one more request. Tools: the worker's own CPU figures (whole process and
the event loop's thread), `strace -c -f` (system calls by name), `perf stat`
(page faults, context switches) and, with --callgrind, `valgrind
--tool=callgrind` (instructions, by shared object; repeatable on a noisy
machine, unlike times).
"""

import argparse
import collections
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402


def worker_cmd(cfg):
    return [run.venv_python(), str(run.HERE / "worker.py"), json.dumps(cfg)]


def run_worker(prefix, cfg, env):
    r = subprocess.run(prefix + worker_cmd(cfg), capture_output=True, text=True, env=env,
                       cwd=str(run.HERE))
    res = next((json.loads(l) for l in reversed(r.stdout.splitlines()) if l.startswith("{")), None)
    if not res or not res.get("ok"):
        raise SystemExit(f"worker failed: {res}\n{r.stderr[-3000:]}")
    return res


def strace_counts(cfg, env, tmp):
    out = tmp / "strace.txt"
    run_worker(["strace", "-c", "-f", "-o", str(out)], cfg, env)
    counts = {}
    for line in out.read_text().splitlines():
        f = line.split()
        # % time, seconds, usecs/call, calls, [errors], name
        if len(f) >= 5 and re.fullmatch(r"[\d.]+", f[0]) and f[-1] != "total":
            counts[f[-1]] = (int(f[3]), int(f[4]) if len(f) == 6 else 0)
    return counts


def perf_counts(cfg, env, tmp):
    out = tmp / "perf.txt"
    run_worker(["perf", "stat", "-x", ",", "-o", str(out), "-e",
                "page-faults,context-switches,cpu-migrations,task-clock,"
                "raw_syscalls:sys_enter,syscalls:sys_enter_futex"], cfg, env)
    res = {}
    for line in out.read_text().splitlines():
        f = line.split(",")
        if len(f) > 3 and f[0].replace(".", "").isdigit():
            res[f[2]] = float(f[0])
    return res


def callgrind_counts(cfg, env, tmp):
    out = tmp / "cg.out"
    run_worker(["valgrind", "--tool=callgrind", "--quiet", f"--callgrind-out-file={out}"], cfg, env)
    ann = subprocess.run(["callgrind_annotate", "--threshold=100", str(out)],
                         capture_output=True, text=True).stdout
    total = 0
    by_obj = collections.Counter()
    for line in ann.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+\S*\s*\[(.*?)\]\s*$", line) or \
            re.match(r"\s*([\d,]+)\s+\S*\s*\[(.*?)\]\s*$", line)
        if m:
            by_obj[Path(m.group(2)).name] += int(m.group(1).replace(",", ""))
        m = re.match(r"\s*([\d,]+)\s+\(100.0%\)\s+PROGRAM TOTALS", line) or \
            re.match(r"\s*([\d,]+)\s+PROGRAM TOTALS", line)
        if m:
            total = int(m.group(1).replace(",", ""))
    return total, by_obj


# Where the process's CPU goes, by inclusive samples under these entry points.
PERF_GROUPS = [
    ("thread creation (clone3)", ["__x64_sys_clone3", "__do_sys_clone3"]),
    ("thread exit", ["__x64_sys_exit", "do_exit"]),
    ("futex (GIL waits and wake-ups)", ["__x64_sys_futex"]),
    ("socket send", ["__x64_sys_sendto"]),
    ("socket receive", ["__x64_sys_recvfrom"]),
    ("epoll_wait", ["__x64_sys_epoll_wait"]),
    ("page faults", ["asm_exc_page_fault"]),
    ("munmap / mmap", ["__x64_sys_munmap", "__x64_sys_mmap"]),
    ("signal masks", ["__x64_sys_rt_sigprocmask"]),
    ("Python interpreter", ["_PyEval_EvalFrameDefault"]),
    ("OpenSSL", ["ssl3_read_bytes", "ssl3_write_bytes"]),
]


def perf_groups(cfg, env, tmp):
    data = tmp / "perf.data"
    run_worker(["perf", "record", "-q", "-g", "-o", str(data)], cfg, env)
    rep = subprocess.run(["perf", "report", "-i", str(data), "--children", "--sort", "sym", "--stdio",
                          "-g", "none", "--percent-limit", "0.2"], capture_output=True, text=True).stdout
    share = {}
    for line in rep.splitlines():
        m = re.match(r"\s*([\d.]+)%\s+[\d.]+%\s+\[[k.]\]\s+(\S+)", line)
        if m:
            share[m.group(2)] = max(share.get(m.group(2), 0.0), float(m.group(1)))
    return [(label, max((share.get(s, 0.0) for s in syms), default=0.0)) for label, syms in PERF_GROUPS]


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--client", default="tarnix-raw", choices=run.CLIENTS)
    p.add_argument("--scenario", type=int, default=2, choices=run.LOAD_SCENARIOS)
    p.add_argument("-n", type=int, default=5000, help="N (the second run makes 2N)")
    p.add_argument("--tarnix", choices=("pip", "inplace"), default="pip")
    p.add_argument("--pythonpath", help="import tarnix from this tree instead (a baseline build)")
    p.add_argument("--callgrind", action="store_true", help="also count instructions (slow)")
    p.add_argument("--callgrind-n", type=int, default=1000)
    p.add_argument("--no-strace", action="store_true")
    p.add_argument("--perf", action="store_true", help="also split the CPU by perf samples")
    args = p.parse_args()

    sc = run.SCENARIOS[args.scenario]
    env = dict(os.environ)
    if args.tarnix == "inplace":
        env["PYTHONPATH"] = str(run.ROOT)
    if args.pythonpath:
        env["PYTHONPATH"] = args.pythonpath
    server = run.Nginx(1, run.venv_python())
    tmp = Path(tempfile.mkdtemp(prefix="tarnix-breakdown-"))

    def cfg_for(n):
        return {
            "client": args.client, "url": server.url(sc["origin"], sc["path"]),
            "host": "127.0.0.1", "port": server.ports[sc["origin"].replace("-", "_")],
            "tls": sc["origin"] != "http", "path": sc["path"], "method": sc["method"],
            "body_size": run.POST_SIZE if sc["method"] == "POST" else 0,
            "expect_len": sc["expect_len"], "n": n, "inflight": sc["inflight"],
            "limit": sc["limit"], "warmup": max(sc["inflight"], 200), "ca": server.ca,
        }

    n = args.n
    try:
        server.start()
        print(f"# {args.client}, scenario {args.scenario}: {sc['title']} (N={n})")
        res = [run_worker([], cfg_for(2 * n), env) for _ in range(3)]
        cpu = sorted(r["cpu_s_per_1k"] * 1000 for r in res)[1]
        loop = sorted(r["loop_cpu_s_per_1k"] * 1000 for r in res)[1]
        rps = sorted(r["rps"] for r in res)[1]
        print(f"CPU per request {cpu:.1f} us (loop thread {loop:.1f} us), {rps:,.0f} req/s "
              f"(median of 3; wall-clock figures are noisy here)")

        pc = [perf_counts(cfg_for(k), env, tmp) for k in (n, 2 * n)]
        for ev in ("page-faults", "context-switches", "cpu-migrations", "raw_syscalls:sys_enter",
                   "syscalls:sys_enter_futex"):
            if ev in pc[0] and ev in pc[1]:
                print(f"{ev} per request: {(pc[1][ev] - pc[0][ev]) / n:.2f}")

        if args.perf:
            groups = perf_groups(cfg_for(2 * n), env, tmp)
            print("share of the process's CPU samples (perf, inclusive):")
            for label, pct in groups:
                print(f"  {label:<32} {pct:5.1f}%  ~{pct * cpu / 100:.1f} us")

        if not args.no_strace:
            sc0, sc1 = (strace_counts(cfg_for(k), env, tmp) for k in (n, 2 * n))
            rows = []
            for name in set(sc0) | set(sc1):
                calls = (sc1.get(name, (0, 0))[0] - sc0.get(name, (0, 0))[0]) / n
                errs = (sc1.get(name, (0, 0))[1] - sc0.get(name, (0, 0))[1]) / n
                if abs(calls) >= 0.01:
                    rows.append((calls, errs, name))
            rows.sort(reverse=True)
            print(f"system calls per request (strace -c -f): {sum(r[0] for r in rows):.1f}")
            for calls, errs, name in rows:
                e = f" ({errs:.2f} failed)" if errs >= 0.01 else ""
                print(f"  {name:<18} {calls:6.2f}{e}")

        if args.callgrind:
            k = args.callgrind_n
            (t0, o0), (t1, o1) = (callgrind_counts(cfg_for(m), env, tmp) for m in (k, 2 * k))
            print(f"instructions per request (callgrind): {(t1 - t0) / k:,.0f}")
            diff = {o: (o1.get(o, 0) - o0.get(o, 0)) / k for o in set(o0) | set(o1)}
            for o, v in sorted(diff.items(), key=lambda kv: -kv[1]):
                if v >= 100:
                    print(f"  {o:<32} {v:10,.0f}")
    finally:
        server.stop()
        import shutil
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
