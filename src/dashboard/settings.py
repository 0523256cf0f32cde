"""The host's limits, each one named setting with a default.

Every limit can be changed through the environment variable named next to
it; a value that is not a number (or not above zero) is reported once and the
default is used instead. The values are read when the host starts.
"""
from __future__ import annotations

import logging
import os
from dataclasses import dataclass

logger = logging.getLogger("dashboard")

MB = 1024 * 1024


@dataclass(frozen=True)
class Setting:
    env: str
    default: float
    unit: str
    doc: str

    def value(self) -> float:
        raw = os.environ.get(self.env, "").strip()
        if not raw:
            return self.default
        try:
            value = float(raw)
        except ValueError:
            value = -1.0
        if not value > 0:
            logger.warning("%s=%r is not a positive number; using %s", self.env, raw, self.default)
            return self.default
        return value


MAX_BODY = Setting("KORVEL_DASHBOARD_MAX_BODY_MB", 48, "MB",
                   "largest request body accepted; larger ones get 413 before they are read")
MAX_IMAGE = Setting("KORVEL_DASHBOARD_MAX_IMAGE_MB", 20, "MB",
                    "largest image accepted, on every path (upload, data URL, images in a message)")
MAX_MESSAGE = Setting("KORVEL_DASHBOARD_MAX_MESSAGE_CHARS", 200_000, "characters",
                      "longest message text accepted (422 beyond)")
MAX_IMAGES = Setting("KORVEL_DASHBOARD_MAX_IMAGES", 8, "images",
                     "most images attached to one message (422 beyond)")
MIN_FREE = Setting("KORVEL_DASHBOARD_MIN_FREE_MB", 64, "MB",
                   "free disk space kept in reserve: uploads that would go below it get 507 and "
                   "/health reports the disk as full")
UPLOAD_MAX_AGE = Setting("KORVEL_DASHBOARD_UPLOAD_MAX_AGE_DAYS", 30, "days",
                         "uploaded images older than this are removed (at start and every hour)")
UPLOAD_SWEEP = Setting("KORVEL_DASHBOARD_UPLOAD_SWEEP_SECONDS", 3600, "s",
                       "how often old uploads are looked for")
OFFLOOP_JSON = Setting("KORVEL_DASHBOARD_OFFLOOP_JSON_KB", 256, "KB",
                       "JSON bodies larger than this are parsed on a worker thread, "
                       "away from the event loop")
MAX_TURNS = Setting("KORVEL_DASHBOARD_MAX_TURNS", 8, "turns",
                    "most turns running at once, all sessions together; a message beyond it "
                    "waits in order of arrival")
STALL = Setting("KORVEL_DASHBOARD_STALL_SECONDS", 20, "s",
                "how long a stream client may take to accept one write before it is "
                "disconnected (it resumes by id)")
MAX_CONNECTIONS = Setting("KORVEL_DASHBOARD_MAX_CONNECTIONS", 256, "connections",
                          "most connections open at once (never more than the process's file limit "
                          "leaves room for); more are closed as soon as they are accepted")
MAX_CLIENT_CONNECTIONS = Setting("KORVEL_DASHBOARD_MAX_CLIENT_CONNECTIONS", 64, "connections",
                                 "most connections one client (one user of the machine, where the "
                                 "system tells) holds open at once")
MAX_STREAMS = Setting("KORVEL_DASHBOARD_MAX_STREAMS", 32, "streams",
                      "most session streams one client keeps open at once (429 beyond)")
REQUEST_SECONDS = Setting("KORVEL_DASHBOARD_REQUEST_SECONDS", 30, "s",
                          "time a request has to arrive whole (head and body) before its "
                          "connection is closed")
IDLE_SECONDS = Setting("KORVEL_DASHBOARD_IDLE_SECONDS", 5, "s",
                       "an idle kept-alive connection is closed after this long")
LOG_REPEAT_SECONDS = Setting("KORVEL_DASHBOARD_LOG_REPEAT_SECONDS", 60, "s",
                             "a warning or error repeated within this time is logged again only "
                             "at the 10th, 100th, 1000th, ... time, with its count")
WARM_AGENTS = Setting("KORVEL_DASHBOARD_WARM_AGENTS", 16, "agents",
                      "most sessions whose agent is kept ready between turns; beyond it the agent "
                      "of the session used longest ago is let go (rebuilt from the stored "
                      "conversation on its next turn)")
AGENT_IDLE = Setting("KORVEL_DASHBOARD_AGENT_IDLE_MINUTES", 30, "minutes",
                     "the agent of a session not used for this long is let go")


@dataclass(frozen=True)
class Limits:
    max_body_bytes: int
    max_image_bytes: int
    min_free_bytes: int
    upload_max_age_seconds: float
    upload_sweep_seconds: float
    offloop_json_bytes: int


#: Every setting, in the order the README lists them.
ALL = (MAX_BODY, MAX_IMAGE, MAX_MESSAGE, MAX_IMAGES, MIN_FREE, UPLOAD_MAX_AGE, UPLOAD_SWEEP, OFFLOOP_JSON,
       MAX_TURNS, STALL, MAX_CONNECTIONS, MAX_CLIENT_CONNECTIONS, MAX_STREAMS, REQUEST_SECONDS,
       IDLE_SECONDS, LOG_REPEAT_SECONDS, WARM_AGENTS, AGENT_IDLE)


def load() -> Limits:
    return Limits(
        max_body_bytes=int(MAX_BODY.value() * MB),
        max_image_bytes=int(MAX_IMAGE.value() * MB),
        min_free_bytes=int(MIN_FREE.value() * MB),
        upload_max_age_seconds=UPLOAD_MAX_AGE.value() * 86400.0,
        upload_sweep_seconds=UPLOAD_SWEEP.value(),
        offloop_json_bytes=int(OFFLOOP_JSON.value() * 1024),
    )

