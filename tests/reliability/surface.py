"""The public surface of every module, as a table: each operation with the
arguments that are declared text, integer, list, mapping or byte string, and
a valid value for each. The bad-input sweep and the leak check both walk it;
a new operation is covered by adding one row."""
from __future__ import annotations

import collections.abc
import importlib
import types
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

TEXT, OPT_TEXT, INTEGER, OPT_INTEGER, LIST, MAPPING, BYTES, ANY = (
    "text", "optional text", "integer", "optional integer", "list", "mapping", "bytes", "any")


@dataclass
class Arg:
    name: str
    kind: str
    valid: Callable[[], Any]
    keyword: bool = True  # may be passed by keyword
    # Errors an unusual value of the right kind may raise: those of the
    # facility the operation hands the value to, which reach the caller.
    passes_on: tuple[type[BaseException], ...] = ()


@dataclass
class Op:
    module: str
    name: str
    args: list[Arg]
    # For callables made by a factory (callbacks, notify): builds the callable.
    make: Callable[[types.ModuleType], Callable[..., Any]] | None = None
    label: str = ""
    skip_kinds: tuple[str, ...] = field(default_factory=tuple)

    @property
    def id(self) -> str:
        return f"{self.module.rsplit('.', 1)[1]}.{self.label or self.name}"

    def function(self) -> Callable[..., Any]:
        mod = importlib.import_module(self.module)
        if self.make is not None:
            return self.make(mod)
        fn: Callable[..., Any] = getattr(mod, self.name)
        return fn

    def valid_kwargs(self) -> dict[str, Any]:
        return {a.name: a.valid() for a in self.args}


def sid() -> str:
    return "sweep-session"


class Pushes:
    """A push function that only counts."""

    def __init__(self) -> None:
        self.n = 0

    def __call__(self, session_id: Any, record: Any) -> None:
        self.n += 1


WARMPOOL = "bridge.Chat.warmpool"
HOLDQUEUE = "bridge.Chat.holdqueue"
INTERRUPT = "bridge.Chat.interrupt"
CONSENT = "bridge.Chat.consentgate"
COMPRESSION = "bridge.Chat.compression"
PICDROP = "bridge.Chat.picdrop"
RUNCONF = "bridge.Chat.runconf"
PID = "bridge.supervisor.pid"
PORT = "bridge.supervisor.port"
LIFECYCLE = "bridge.supervisor.lifecycle"


def _callback(factory: str) -> Callable[[types.ModuleType], Callable[..., Any]]:
    return lambda mod: getattr(mod, factory)("sweep-stream")


def _notify(mod: types.ModuleType) -> Callable[..., Any]:
    fn: Callable[..., Any] = mod._make_notify_callback("sweep-session", Pushes())
    return fn


S = Arg("session_id", TEXT, sid)

OPS: list[Op] = [
    # Stream fan-out and callbacks.
    Op(WARMPOOL, "_push_to_subscribers", [S, Arg("item", ANY, lambda: None)]),
    # The delta is passed on exactly as the engine gave it; only the session
    # id is checked.
    Op(WARMPOOL, "push_stream_delta", [S, Arg("raw_delta", ANY, lambda: "d")]),
    Op(WARMPOOL, "push_stream_event",
       [S, Arg("event", MAPPING, lambda: {"type": "status", "data": {}})]),
    Op(WARMPOOL, "signal_stream_done", [S]),
    Op(WARMPOOL, "_make_tool_progress_callback", [S]),
    Op(WARMPOOL, "_make_thinking_callback", [S]),
    Op(WARMPOOL, "_make_reasoning_callback", [S]),
    Op(WARMPOOL, "_make_status_callback", [S]),
    Op(WARMPOOL, "_make_background_review_callback", [S]),
    Op(WARMPOOL, "", [Arg("message", TEXT, lambda: "saved", keyword=False)],
       make=_callback("_make_background_review_callback"), label="background_review()"),
    # Profiles, models, cache, tasks.
    Op(WARMPOOL, "get_profile_home", [Arg("profile", OPT_TEXT, lambda: "default")]),
    Op(WARMPOOL, "get_session_db", [Arg("profile", OPT_TEXT, lambda: "default")]),
    # A name that is not one plain directory name is refused with ValueError.
    Op(WARMPOOL, "set_active_profile",
       [Arg("name", TEXT, lambda: "default", passes_on=(ValueError,))]),
    Op(WARMPOOL, "pop_pending_model_note", [S]),
    Op(WARMPOOL, "split_model_note", [Arg("text", TEXT, lambda: "note")]),
    Op(WARMPOOL, "get_agent", [S, Arg("streaming_session_id", OPT_TEXT, lambda: "stream")]),
    Op(WARMPOOL, "get_session_lock", [S]),
    Op(WARMPOOL, "get_conversation_history", [S]),
    Op(WARMPOOL, "trigger_auto_title",
       [S, Arg("message", TEXT, lambda: "m"), Arg("response", TEXT, lambda: "r"),
        Arg("history", LIST, lambda: [])]),
    # Hold queue.
    Op(HOLDQUEUE, "enqueue_message", [S, Arg("message", TEXT, lambda: "m")]),
    Op(HOLDQUEUE, "dequeue_message", [S]),
    Op(HOLDQUEUE, "has_pending", [S]),
    Op(HOLDQUEUE, "pending_count", [S]),
    Op(HOLDQUEUE, "clear_pending", [S]),
    # Running agents.
    Op(INTERRUPT, "register_running_agent", [S, Arg("agent", ANY, lambda: None)]),
    Op(INTERRUPT, "unregister_running_agent", [S]),
    Op(INTERRUPT, "is_agent_running", [S]),
    Op(INTERRUPT, "interrupt_agent", [S, Arg("reason", TEXT, lambda: "stop")]),
    # Approvals.
    Op(CONSENT, "wire_approval_for_session", [S, Arg("push_event_fn", ANY, Pushes)]),
    Op(CONSENT, "_make_notify_callback", [S, Arg("push_event_fn", ANY, Pushes)]),
    Op(CONSENT, "", [Arg("approval_data", MAPPING, lambda: {"command": "rm -rf /"})],
       make=_notify, label="notify()"),
    Op(CONSENT, "resolve_approval", [S, Arg("choice", TEXT, lambda: "deny")]),
    # Compression.
    Op(COMPRESSION, "estimate_token_count", [Arg("history", LIST, lambda: [])]),
    Op(COMPRESSION, "maybe_compress_session",
       [Arg("agent", ANY, object), Arg("history", LIST, lambda: []),
        Arg("threshold_chars", INTEGER, lambda: 10)]),
    # Images.
    Op(PICDROP, "save_uploaded_image",
       [Arg("file_bytes", BYTES, lambda: b"\x89PNG"), Arg("filename", TEXT, lambda: "a.png")]),
    Op(PICDROP, "save_base64_image", [Arg("data_url", TEXT, lambda: "data:image/png;base64,AA==")]),
    Op(PICDROP, "enrich_message_with_images",
       [Arg("user_text", TEXT, lambda: "hi"), Arg("image_paths", LIST, lambda: [])]),
    Op(PICDROP, "split_enriched_message", [Arg("text", TEXT, lambda: "hi")]),
    # Profile configuration.
    *[Op(RUNCONF, name, [Arg("cfg", MAPPING, dict)]) for name in (
        "get_provider_routing", "get_reasoning_config", "get_service_tier",
        "get_fallback_model", "get_max_iterations", "get_request_overrides")],
    # Process supervision.
    Op(PID, "is_pid_alive", [Arg("pid", INTEGER, lambda: 1)]),
    Op(PORT, "is_port_in_use", [Arg("port", INTEGER, lambda: 1),
                                Arg("host", TEXT, lambda: "127.0.0.1",
                                    passes_on=(OSError, TypeError, ValueError,
                                               UnicodeError))]),
    Op(PORT, "find_port_owner", [Arg("port", INTEGER, lambda: 1)]),
    Op(PORT, "_find_port_owner_windows", [Arg("port", INTEGER, lambda: 1)]),
    Op(PORT, "free_port", [Arg("port", INTEGER, lambda: 1)]),
    Op(PORT, "ensure_port_free", [Arg("port", INTEGER, lambda: 1)]),
    Op(LIFECYCLE, "graceful_shutdown", [Arg("signum", OPT_INTEGER, lambda: None)]),
]

# Module registries that a refused call must leave exactly as they were.
REGISTRIES: dict[str, list[str]] = {
    WARMPOOL: ["stream_subscribers", "_stream_buffers", "_profile_dbs", "agent_cache",
               "_session_locks", "_pending_model_notes", "running_tasks", "_active_profile",
               "_model_generation"],
    HOLDQUEUE: ["_pending_messages"],
    INTERRUPT: ["_running_agents"],
    LIFECYCLE: ["_shutdown_callbacks", "_is_shutting_down"],
}


class TextSub(str):
    pass


class IntSub(int):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class BytesSub(bytes):
    pass


class PlainMapping(collections.abc.Mapping):
    """A mapping that is not a dict."""

    def __init__(self, data: dict[Any, Any]) -> None:
        self._data = data

    def __getitem__(self, key: Any) -> Any:
        return self._data[key]

    def __iter__(self) -> Iterator[Any]:
        return iter(self._data)

    def __len__(self) -> int:
        return len(self._data)


def bad_values(kind: str) -> list[tuple[str, Any]]:
    """Values of the wrong kind for an argument declared `kind`."""
    every = [
        ("None", None), ("int", 7), ("bool", True), ("float", 1.5), ("bytes", b"x"),
        ("bytearray", bytearray(b"x")), ("list", ["x"]), ("tuple", ("x",)),
        ("dict", {"x": 1}), ("object", object()), ("str", "x"),
    ]
    allowed = {
        TEXT: {"str"},
        OPT_TEXT: {"str", "None"},
        INTEGER: {"int", "bool"},
        OPT_INTEGER: {"int", "bool", "None"},
        LIST: {"list"},
        MAPPING: {"dict"},
        BYTES: {"bytes"},
    }[kind]
    return [(label, v) for label, v in every if label not in allowed]


LONG_TEXT = "x" * 1_000_000


def odd_values(kind: str) -> list[tuple[str, Any]]:
    """Values of the right kind that are easy to mishandle."""
    if kind in (TEXT, OPT_TEXT):
        return [("str subclass", TextSub("sub")), ("empty", ""), ("long", LONG_TEXT),
                ("NUL", "a\x00b"), ("lone surrogate", "a\ud800b"), ("emoji", "🧟 ok")]
    if kind in (INTEGER, OPT_INTEGER):
        return [("int subclass", IntSub(5)), ("bool", False), ("huge", 2**100),
                ("negative", -3)]
    if kind == LIST:
        return [("list subclass", ListSub())]
    if kind == MAPPING:
        return [("dict subclass", DictSub()), ("plain mapping", PlainMapping({})),
                ("mappingproxy", types.MappingProxyType({}))]
    if kind == BYTES:
        return [("bytes subclass", BytesSub(b"\x89PNG")), ("empty", b"")]
    return []
