"""Idle connections of a client: expiry, a bound across origins, and the
eviction of pools that hold nothing.

The engine has no timer: idle connections are stamped when they go idle,
one past its expiry is never reused, and this module closes them on time
(the clients run :meth:`IdleConnections.sweep` from a timer) and keeps the
client's idle connections under its bound, oldest closed first. Both run on
whatever owns the client's origin map (the loop's thread, or under the sync
client's lock), so a pool is evicted only between requests to it.
"""

from __future__ import annotations

import os
import sys
import threading
import weakref
from time import monotonic
from typing import Any, Callable, Dict, List, Optional, Tuple

from . import _engine

DEFAULT_KEEPALIVE_EXPIRY = 5.0
DEFAULT_MAX_KEEPALIVE_CONNECTIONS = 20

# Added to a sweep's delay: the loop may run a timer a little early, and a
# connection is expired only once strictly older than the expiry.
_SLACK = 0.005
_ALL = sys.maxsize


def check_keepalive(expiry: Any, max_keepalive: Any) -> None:
    if expiry is not None:
        if isinstance(expiry, bool) or not isinstance(expiry, (int, float)):
            raise TypeError("keepalive_expiry must be a number of seconds or None")
        if not expiry >= 0:
            raise ValueError(f"keepalive_expiry must be >= 0, got {expiry!r}")
    if max_keepalive is not None:
        if isinstance(max_keepalive, bool) or not isinstance(max_keepalive, int):
            raise TypeError("max_keepalive_connections must be an int or None")
        if max_keepalive < 0:
            raise ValueError(f"max_keepalive_connections must be >= 0, got {max_keepalive}")


class IdleConnections:
    """What a client knows of its pools' idle connections.

    ``tracked`` maps each pool that may hold a connection (idle, or kept by
    a request abandoned in the engine) to the idle connections it counts
    against the bound: those of a quiet pool (no request in flight or in
    line, as ``quiet(pool)`` says) as last seen; 0 for a busy pool, whose
    idle connections are about to be taken again. ``evict(pool)`` drops a
    quiet pool from the origin map.
    """

    __slots__ = ("expiry", "bound", "tracked", "total", "quiet", "evict")

    def __init__(
        self,
        expiry: Optional[float],
        bound: Optional[int],
        quiet: Callable[[Any], bool],
        evict: Callable[[Any], None],
    ) -> None:
        self.expiry = expiry
        self.bound = _ALL if bound is None else bound
        self.tracked: Dict[Any, int] = {}
        self.total = 0
        self.quiet = quiet
        self.evict = evict

    def _look(self, pool: Any, keep: int = _ALL) -> float:
        """Trims the pool to ``keep`` idle connections (and its expired ones)
        and notes what is left; returns its oldest idle age, -1 with none."""
        idle, open_, age = _engine.pool_trim(pool.capsule, keep)
        quiet = self.quiet(pool)
        counted = idle if quiet else 0
        self.total += counted - self.tracked.get(pool, 0)
        if open_ or not quiet:
            self.tracked[pool] = counted
        elif self.tracked.pop(pool, None) is not None:
            # Nothing of it is left in the engine, and nobody uses it.
            self.evict(pool)
        return age if idle else -1.0

    def settled(self, pool: Any) -> None:
        """A request of the pool has ended: its connection may be idle now."""
        if pool not in self.tracked:
            self.tracked[pool] = 0
        elif not self.quiet(pool):
            return  # looked at when its last request ends
        self._look(pool, self.bound if self.quiet(pool) else _ALL)
        if self.total > self.bound:
            self._bind()

    def _bind(self) -> None:
        # Other requests may have taken idle connections since they were
        # counted: look again before closing anything.
        for pool in list(self.tracked):
            self._look(pool)
        while self.total > self.bound:
            oldest, oldest_age = None, -1.0
            for pool, idle in self.tracked.items():
                if idle:
                    age = self._look(pool)
                    if age > oldest_age:
                        oldest, oldest_age = pool, age
            if oldest is None:
                break
            self._look(oldest, self.tracked[oldest] - 1)

    def sweep(self) -> Optional[float]:
        """Closes what expired and evicts emptied pools; returns the delay
        until the next connection expires (None: nothing left to watch)."""
        soonest: Optional[float] = None
        for pool in list(self.tracked):
            age = self._look(pool)
            if pool in self.tracked:
                # An abandoned request still holds a connection: look again
                # one expiry later.
                wait = self.expiry if age < 0 or self.expiry is None else self.expiry - age
                if wait is not None and (soonest is None or wait < soonest):
                    soonest = wait
        if soonest is None:
            return None
        return max(soonest, 0.0) + _SLACK

    def first_delay(self) -> Optional[float]:
        """When a sweep is due after a connection has just gone idle."""
        return None if self.expiry is None else self.expiry + _SLACK

    def clear(self) -> None:
        self.tracked.clear()
        self.total = 0


class SweepThread:
    """Runs the sweeps of the blocking clients, each when it is due, on one
    daemon thread for the process: started when a sweep is first asked for,
    gone again once none is left."""

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self._due: Dict[int, Tuple[float, "weakref.ref[Any]"]] = {}
        self._running = False

    def schedule(self, client: Any, delay: float) -> None:
        """``client._sweep()`` runs in ``delay`` seconds (the client is not
        kept alive for it)."""
        with self._cond:
            self._due[id(client)] = (monotonic() + delay, weakref.ref(client))
            if self._running:
                self._cond.notify()
            else:
                self._running = True
                threading.Thread(target=self._run, name="tarnix-keepalive", daemon=True).start()

    def cancel(self, client: Any) -> None:
        with self._cond:
            self._due.pop(id(client), None)

    def _run(self) -> None:
        while True:
            with self._cond:
                now = monotonic()
                ready: List["weakref.ref[Any]"] = []
                for key, (at, ref) in list(self._due.items()):
                    if at <= now:
                        del self._due[key]
                        ready.append(ref)
                if not ready:
                    if not self._due:
                        self._running = False
                        return
                    self._cond.wait(min(at for at, _ in self._due.values()) - now)
                    continue
            for ref in ready:
                client = ref()
                if client is not None:
                    client._sweep()


sweep_thread = SweepThread()


def _after_fork() -> None:
    # The thread does not exist in the child, and its lock may be held.
    global sweep_thread
    sweep_thread = SweepThread()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork)
