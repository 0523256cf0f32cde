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
system tells it (Linux, through its socket diagnostics), else the address it
comes from: on this machine every program connects from 127.0.0.1, and one user's
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


def fd_room() -> int:
    """How many connections the process's file limit leaves room for."""
    try:
        soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    except (OSError, ValueError):
        return 1 << 20
    if soft == resource.RLIM_INFINITY:
        return 1 << 20
    return max(8, int(soft) - RESERVED_FDS)


#: Linux's socket diagnostics over netlink (what ``ss`` asks).
NETLINK_SOCK_DIAG = 4
SOCK_DIAG_BY_FAMILY = 20
NO_COOKIE = 0xFFFFFFFF


def peer_uid(peer: Tuple[str, int], ours: Tuple[str, int]) -> Optional[int]:
    """The user owning the TCP socket at ``peer`` connected to ``ours`` on
    this machine (IPv4), as the kernel tells through sock_diag; None where
    it does not (another system, a peer elsewhere)."""
    try:
        sockid = (struct.pack(">HH", peer[1], ours[1]) + socket.inet_aton(peer[0]) + bytes(12)
                  + socket.inet_aton(ours[0]) + bytes(12) + struct.pack("=III", 0, NO_COOKIE, NO_COOKIE))
        request = struct.pack("=BBBBI", socket.AF_INET, socket.IPPROTO_TCP, 0, 0, 0xFFFFFFFF) + sockid
        message = struct.pack("=LHHLL", 16 + len(request), SOCK_DIAG_BY_FAMILY, 1, 1, 0) + request
        with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, NETLINK_SOCK_DIAG) as nl:
            nl.settimeout(1)
            nl.sendto(message, (0, 0))
            answer = nl.recv(8192)
    except (OSError, AttributeError, TypeError, IndexError, struct.error):
        return None
    # nlmsghdr (16 bytes), then inet_diag_msg, whose idiag_uid is at 64.
    if len(answer) < 16 + 72 or struct.unpack_from("=H", answer, 4)[0] != SOCK_DIAG_BY_FAMILY:
        return None
    return int(struct.unpack_from("=I", answer, 16 + 64)[0])


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
        if len(connections) <= limits.max_client:
            return None  # nobody can be over their share
        conns: List[Any] = list(connections)
        for conn in conns:
            if getattr(conn, "owner", None) is None:
                conn.owner = _owner(conn)
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


def _owner(conn) -> object:
    client, server = getattr(conn, "client", None), getattr(conn, "server", None)
    uid = peer_uid(client, server) if client and server else None
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
