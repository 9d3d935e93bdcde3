"""The native engine, as the rest of the package sees it: the one module that
imports ``_tarnix``.

Its functions are re-exported as they are, not wrapped, so that a request
costs no Python call on the way in; the results come back to
``tarnix.core.http``, which the engine calls by name.
"""

from __future__ import annotations

try:
    from . import _tarnix
except ImportError:
    import importlib.util as _util
    import os as _os

    if _util.find_spec(__package__ + "._tarnix") is not None:
        raise  # built, but it cannot load: the loader's own message says why
    raise ImportError(
        f"tarnix's native engine (tarnix._tarnix) is not built in {_os.path.dirname(__file__)}. "
        "This looks like the source tree: install the package (bash scripts/demo.sh, or "
        "pip install . inside a virtual environment) and run from another directory, or build it in place (README, Running a single test)."
    ) from None

__all__ = [
    "pool_create",
    "pool_create_with_cert",
    "pool_create_via",
    "pool_keepalive",
    "pool_trim",
    "client_cert_load",
    "submit",
    "submit_limited",
    "submit_wait",
    "abandon",
    "download_new",
    "download_progress",
]

# Pools: one per origin (or per proxy or Unix socket), and their idle connections.
pool_create = _tarnix.pool_create
pool_create_with_cert = _tarnix.pool_create_with_cert
pool_create_via = _tarnix.pool_create_via
pool_keepalive = _tarnix.pool_keepalive
pool_trim = _tarnix.pool_trim
client_cert_load = _tarnix.client_cert_load

# Requests: completed on the loop through its future, or waited for in place.
submit = _tarnix.submit
submit_limited = _tarnix.submit_limited
submit_wait = _tarnix.submit_wait
abandon = _tarnix.abandon

# Downloads written to disk by the engine.
download_new = _tarnix.download_new
download_progress = _tarnix.download_progress
