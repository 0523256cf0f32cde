"""Bounds on what clients may hold: connections, unfinished requests and
session streams.

- At most ``MAX_CONNECTIONS`` connections are open at once (and never more
  than the process's file limit leaves room for), at most
  ``MAX_CLIENT_CONNECTIONS`` of them one client's; a connection beyond
  either is closed as soon as it is accepted.
- A request must have arrived whole (head and body) within
  ``REQUEST_SECONDS`` of its connection opening, or of its first bytes on a
  kept-alive connection; an idle kept-alive connection is closed after
  ``IDLE_SECONDS`` (uvicorn's keep-alive timeout).
- One client keeps at most ``MAX_STREAMS`` session streams open.

A client is the user owning the other end of the connection where the
system tells it (Linux, from ``/proc/net/tcp``), else the address it comes
from: on this machine every program connects from 127.0.0.1, and one user's
flood of connections must not lock out another.
"""
from __future__ import annotations

import asyncio
import collections
import logging
import resource
import socket
import struct
from typing import Any, Dict, List, Optional, Tuple

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

from . import settings

logger = logging.getLogger("dashboard")

#: File descriptors kept for everything but connections (journal, store,
#: uploads, the engine's own files and processes).
RESERVED_FDS = 128
#: Below this many open connections nobody is over a per-client cap: the
#: owners of connections are looked up only above it.
LOOKUP_FROM = 16


def fd_room() -> int:
    """How many connections the process's file limit leaves room for."""
    try:
        soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    except (OSError, ValueError):
        return 1 << 20
    if soft == resource.RLIM_INFINITY:
        return 1 << 20
    return max(8, int(soft) - RESERVED_FDS)


def _hex_addr(addr: Tuple[str, int]) -> Optional[str]:
    """An IPv4 address and port as /proc/net/tcp writes them."""
    try:
        packed = socket.inet_aton(addr[0])
    except (OSError, TypeError, IndexError):
        return None
    return "%08X:%04X" % (struct.unpack("<I", packed)[0], addr[1])


def socket_owners() -> Optional[Dict[Tuple[str, str], int]]:
    """(local, remote) address in /proc/net/tcp's form -> the owning user id,
    for every IPv4 TCP socket of the machine's network; None where the
    system does not say."""
    try:
        with open("/proc/net/tcp", "rb") as fh:
            lines = fh.read().decode("ascii", "replace").splitlines()[1:]
    except OSError:
        return None
    out: Dict[Tuple[str, str], int] = {}
    for line in lines:
        fields = line.split()
        if len(fields) > 7 and fields[7].isdigit():
            out[(fields[1], fields[2])] = int(fields[7])
    return out


class Limits:
    """The connection bounds of one server, read from the settings."""

    def __init__(self) -> None:
        self.max_connections = max(1, min(int(settings.MAX_CONNECTIONS.value()), fd_room()))
        self.max_client = max(1, int(settings.MAX_CLIENT_CONNECTIONS.value()))
        self.request_seconds = settings.REQUEST_SECONDS.value()
        self.idle_seconds = settings.IDLE_SECONDS.value()
        self.max_streams = max(1, int(settings.MAX_STREAMS.value()))
        self.refused = 0

    def protocol(self) -> type:
        """The HTTP protocol class for uvicorn, bound to these limits."""
        limits = self

        class Bounded(BoundedH11Protocol):
            pass
        Bounded.limits = limits
        return Bounded


class BoundedH11Protocol(H11Protocol):
    """uvicorn's HTTP/1.1 protocol with the bounds above."""

    limits: Limits
    owner: Optional[object] = None

    _deadline: Optional[asyncio.TimerHandle] = None

    def connection_made(self, transport) -> None:
        super().connection_made(transport)
        self._deadline = None
        problem = self._over_limit()
        if problem:
            self.limits.refused += 1
            logger.warning("Refused a connection: %s", problem)
            transport.abort()
            return
        self._arm()

    def _over_limit(self) -> Optional[str]:
        limits = self.limits
        connections = self.connections
        if len(connections) > limits.max_connections:
            return f"{limits.max_connections} connections are open already"
        if len(connections) <= LOOKUP_FROM or limits.max_client >= limits.max_connections:
            return None
        owners = socket_owners()
        conns: List[Any] = list(connections)
        for conn in conns:
            if getattr(conn, "owner", None) is None:
                conn.owner = _owner(conn, owners)
        same = sum(1 for conn in conns if conn.owner == self.owner)
        if same > limits.max_client:
            return f"its client holds {limits.max_client} connections already"
        return None

    # -- unfinished requests ----------------------------------------------------------

    def _arm(self) -> None:
        if self._deadline is None and not self.transport.is_closing():
            self._deadline = self.loop.call_later(self.limits.request_seconds, self._too_slow)

    def _disarm(self) -> None:
        if self._deadline is not None:
            self._deadline.cancel()
            self._deadline = None

    def data_received(self, data: bytes) -> None:
        super().data_received(data)
        if self.conn.their_state in (h11.DONE, h11.MUST_CLOSE, h11.CLOSED, h11.ERROR):
            self._disarm()  # the request is in: the route's own time begins
        else:
            self._arm()

    def on_response_complete(self) -> None:
        self._disarm()  # idle from here: the keep-alive timeout applies
        super().on_response_complete()

    def connection_lost(self, exc) -> None:
        self._disarm()
        super().connection_lost(exc)

    def _too_slow(self) -> None:
        self._deadline = None
        if self.transport.is_closing() or self.conn.their_state in (h11.DONE, h11.MUST_CLOSE):
            return
        logger.warning("Closed a connection whose request did not arrive within %g s",
                       self.limits.request_seconds)
        self.transport.abort()


def _owner(conn, owners) -> object:
    client, server = getattr(conn, "client", None), getattr(conn, "server", None)
    if owners is not None and client and server:
        peer, local = _hex_addr(client), _hex_addr(server)
        uid = owners.get((peer, local)) if peer and local else None
        if uid is not None:
            return ("uid", uid)
    return ("address", client[0] if client else None)


class StreamSlots:
    """Open session streams per client."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.open: Dict[str, int] = collections.defaultdict(int)

    def take(self, client: str) -> bool:
        if self.open[client] >= self.limit:
            return False
        self.open[client] += 1
        return True

    def give_back(self, client: str) -> None:
        self.open[client] -= 1
        if self.open[client] <= 0:
            del self.open[client]
