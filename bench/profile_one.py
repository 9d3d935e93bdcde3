#!/usr/bin/env python3
"""Profile one client in one scenario against the benchmark's nginx.

    python3 bench/profile_one.py --client tarnix --scenario 2            # CPU per request only
    python3 bench/profile_one.py --client tarnix --scenario 2 --cprofile # + Python functions
    python3 bench/profile_one.py --client tarnix --scenario 2 --perf     # + perf report (native)

Uses what `bench/run.py` installed (bench/.venv, the pip-installed tarnix, or
`--tarnix inplace` for the tree's in-place build). For a figure to quote, use
run.py; this is for finding where the time goes.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--client", default="tarnix", choices=run.CLIENTS)
    p.add_argument("--scenario", type=int, default=2, choices=run.LOAD_SCENARIOS)
    p.add_argument("--scale", type=float, default=1.0)
    p.add_argument("--repeats", type=int, default=1)
    p.add_argument("--tarnix", choices=("pip", "inplace"), default="pip")
    p.add_argument("--cprofile", action="store_true", help="run the worker under cProfile")
    p.add_argument("--perf", action="store_true", help="run the worker under perf record -g")
    p.add_argument("--top", type=int, default=35)
    args = p.parse_args()

    sc = run.SCENARIOS[args.scenario]
    env = dict(os.environ)
    if args.tarnix == "inplace":
        env["PYTHONPATH"] = str(run.ROOT)
    server = run.Nginx(1, run.venv_python())
    out = Path(tempfile.mkdtemp(prefix="tarnix-profile-"))
    try:
        server.start()
        n = max(1, int(sc["n"] * args.scale))
        cfg = {
            "client": args.client, "url": server.url(sc["origin"], sc["path"]),
            "host": "127.0.0.1", "port": server.ports[sc["origin"].replace("-", "_")],
            "tls": sc["origin"] != "http", "path": sc["path"], "method": sc["method"],
            "body_size": run.POST_SIZE if sc["method"] == "POST" else 0,
            "expect_len": sc["expect_len"], "n": n, "inflight": sc["inflight"],
            "limit": sc["limit"], "warmup": min(n, max(n // 10, min(sc["inflight"], n))),
            "ca": server.ca,
        }
        for i in range(args.repeats):
            cmd = [run.venv_python()]
            if args.cprofile:
                cmd += ["-m", "cProfile", "-o", str(out / "cprofile.out")]
            cmd += [str(run.HERE / "worker.py"), json.dumps(cfg)]
            if args.perf:
                cmd = ["perf", "record", "-q", "-g", "-o", str(out / "perf.data"), "--"] + cmd
            r = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=str(run.HERE))
            res = next((json.loads(l) for l in reversed(r.stdout.splitlines())
                        if l.startswith("{")), None)
            if not res or not res.get("ok"):
                print(r.stdout[-2000:], r.stderr[-2000:], res, sep="\n")
                return 1
            print(f"{args.client} scenario {args.scenario} n={n}: {res['rps']:,.0f} req/s, "
                  f"{res['cpu_s_per_1k']:.3f} CPU s/1k (user {res['cpu_user_s']:.2f} s, "
                  f"sys {res['cpu_sys_s']:.2f} s), p50 {res['lat_p50_ms']:.3f} ms, "
                  f"RSS {res['rss_peak_mib']:.1f} MiB")
        if args.cprofile:
            import pstats
            st = pstats.Stats(str(out / "cprofile.out"))
            st.sort_stats("tottime").print_stats(args.top)
        if args.perf:
            rep = subprocess.run(["perf", "report", "-i", str(out / "perf.data"), "--no-children",
                                  "--sort", "dso,sym", "--stdio", "-g", "none",
                                  "--percent-limit", "0.7"],
                                 capture_output=True, text=True)
            print(rep.stdout[:12000])
            # Inclusive figures name the system calls the time goes to.
            rep = subprocess.run(["perf", "report", "-i", str(out / "perf.data"), "--children",
                                  "--sort", "sym", "--stdio", "-g", "none",
                                  "--percent-limit", "2"],
                                 capture_output=True, text=True)
            print(rep.stdout[:12000])
    finally:
        server.stop()
        import shutil
        shutil.rmtree(out, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
