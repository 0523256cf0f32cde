"""Stream fan-out, agent callbacks, model notes and the warm agent cache,
in plain Python: the operations the benchmarks measure, with the pool's own
state, locks and records.

Only the parts of the profile handling that the warm path touches are here
(profile homes, session stores, the configured model); engine arguments read
from the profile are outside the measured path and come from
build_agent_kwargs below.
"""
import collections.abc
import logging
import os
import pathlib
import threading
import time

from run_agent import AIAgent
from korvel_state import SessionDB

from . import consentgate as _consentgate
from . import interrupt as _interrupt

wire_approval_for_session = _consentgate.wire_approval_for_session
register_running_agent = _interrupt.register_running_agent
unregister_running_agent = _interrupt.unregister_running_agent

logger = logging.getLogger("bridge.pool")

DEFAULT_MODEL = "google/gemini-2.5-flash:free"
DEFAULT_BASE_URL = "https://openrouter.ai/api/v1"
PLATFORM_NOTE = (
    "**Platform notes:** You are running inside a desktop chat interface. You can display images "
    "and files inline by including MEDIA:<filepath> in your response. The interface renders these "
    "as visible images."
)

# Stream fan-out.
stream_subscribers = {}
stream_sub_lock = threading.Lock()
_stream_buffers = {}
_stream_buffer_lock = threading.Lock()

# Warm agents.
agent_cache = {}
agent_cache_lock = threading.Lock()
_session_locks = {}
_session_locks_lock = threading.Lock()

# Model generation and switch notes.
_model_generation = 0
_model_generation_lock = threading.Lock()
_pending_model_notes = {}
_pending_model_notes_lock = threading.Lock()

# Profiles.
_active_profile = "default"
_profile_dbs = {}
_profile_dbs_lock = threading.Lock()


def _need_text(fn, arg, value):
    if not isinstance(value, str):
        raise TypeError(f"{fn}() argument '{arg}' must be str, not {type(value).__name__}")


def _need_optional_text(fn, arg, value):
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{fn}() argument '{arg}' must be str or None, not {type(value).__name__}")


# -- stream fan-out ---------------------------------------------------------

def _threadsafe_put(q, loop, item):
    try:
        loop.call_soon_threadsafe(q.put_nowait, item)
    except Exception:
        pass


def _push_to_subscribers(session_id, item):
    _need_text("_push_to_subscribers", "session_id", session_id)
    # The subscriber list is copied while the buffer lock is held, so a
    # subscription (which replays and registers under the same lock) sees
    # every record exactly once.
    with _stream_buffer_lock:
        buffer = _stream_buffers.get(session_id)
        if buffer is None:
            buffer = _stream_buffers[session_id] = []
        buffer.append(item)
        with stream_sub_lock:
            subs = list(stream_subscribers.get(session_id, ()))
    for q, loop in subs:
        _threadsafe_put(q, loop, item)


def subscribe_to_stream(session_id, q, loop):
    sub = (q, loop)
    with _stream_buffer_lock:
        for item in list(_stream_buffers.get(session_id, ())):
            _threadsafe_put(q, loop, item)
        with stream_sub_lock:
            subs = stream_subscribers.get(session_id)
            if subs is None:
                subs = stream_subscribers[session_id] = []
            subs.append(sub)
    return sub


def unsubscribe_from_stream(session_id, sub):
    with stream_sub_lock:
        subs = stream_subscribers.get(session_id, [])
        if sub in subs:
            subs.remove(sub)
        remaining = len(subs)
    if not remaining:
        with _stream_buffer_lock:
            _stream_buffers.pop(session_id, None)


def push_stream_delta(session_id, raw_delta):
    _need_text("push_stream_delta", "session_id", session_id)
    if raw_delta is None:
        return
    _push_to_subscribers(session_id, {"type": "delta", "data": raw_delta})


def push_stream_event(session_id, event):
    _need_text("push_stream_event", "session_id", session_id)
    if not isinstance(event, collections.abc.Mapping):
        raise TypeError(f"push_stream_event() argument 'event' must be a mapping, not {type(event).__name__}")
    _push_to_subscribers(session_id, event)


def signal_stream_done(session_id):
    _need_text("signal_stream_done", "session_id", session_id)
    _push_to_subscribers(session_id, None)


# -- agent callbacks --------------------------------------------------------

def _make_tool_progress_callback(session_id):
    _need_text("_make_tool_progress_callback", "session_id", session_id)
    try:
        from tools.registry import registry
    except ImportError:
        registry = None

    def _on_tool_progress(event_type, tool_name=None, preview=None, args=None, **kwargs):
        emoji = "⚡"
        toolset = "unknown"
        if registry and tool_name:
            emoji = registry.get_emoji(tool_name, default="⚡")
            toolset = registry.get_toolset_for_tool(tool_name) or "unknown"
        if event_type == "tool.started":
            push_stream_event(session_id, {
                "type": "tool_started",
                "data": {"tool": tool_name, "emoji": emoji, "toolset": toolset,
                         "preview": preview, "args": args, "ts": time.time()},
            })
        elif event_type == "tool.completed":
            push_stream_event(session_id, {
                "type": "tool_completed",
                "data": {"tool": tool_name, "emoji": emoji, "toolset": toolset, "preview": preview,
                         "duration": round(kwargs.get("duration", 0), 3),
                         "is_error": kwargs.get("is_error", False), "ts": time.time()},
            })
        elif event_type == "reasoning.available":
            push_stream_event(session_id, {
                "type": "reasoning",
                "data": {"text": preview if preview else "", "ts": time.time()},
            })

    return _on_tool_progress


def _make_thinking_callback(session_id):
    _need_text("_make_thinking_callback", "session_id", session_id)

    def _on_thinking(text):
        if text:
            push_stream_event(session_id, {"type": "thinking", "data": {"text": text, "ts": time.time()}})

    return _on_thinking


def _make_reasoning_callback(session_id):
    _need_text("_make_reasoning_callback", "session_id", session_id)

    def _on_reasoning(text):
        if text:
            push_stream_event(session_id, {"type": "reasoning_delta", "data": {"text": text, "ts": time.time()}})

    return _on_reasoning


def _make_status_callback(session_id):
    _need_text("_make_status_callback", "session_id", session_id)

    def _on_status(event_type, message):
        push_stream_event(session_id, {
            "type": "status",
            "data": {"event": event_type, "message": message, "ts": time.time()},
        })

    return _on_status


def _make_background_review_callback(session_id):
    _need_text("_make_background_review_callback", "session_id", session_id)

    def _on_background_review(message):
        _need_text("_on_background_review", "message", message)
        if message:
            push_stream_event(session_id, {
                "type": "status",
                "data": {"event": "background_review", "message": message, "ts": time.time()},
            })

    return _on_background_review


# -- model generation and switch notes --------------------------------------

def bump_model_generation():
    global _model_generation
    with _model_generation_lock:
        _model_generation += 1
        return _model_generation


def get_model_generation():
    with _model_generation_lock:
        return _model_generation


def pop_pending_model_note(session_id):
    _need_text("pop_pending_model_note", "session_id", session_id)
    with _pending_model_notes_lock:
        return _pending_model_notes.pop(session_id, None)


def _switch_note(old, new):
    return (f"[Note: model was just switched from {old} to {new}. You are now {new}. "
            "Adjust your self-identification accordingly.]")


# -- profiles (what the warm path uses) -------------------------------------

def get_profile_home(profile=None):
    _need_optional_text("get_profile_home", "profile", profile)
    p = profile or _active_profile
    root = pathlib.Path(os.path.expanduser("~")) / ".korvel"
    if p == "default":
        return root
    return root / "profiles" / p


def get_session_db(profile=None):
    _need_optional_text("get_session_db", "profile", profile)
    p = profile or _active_profile
    with _profile_dbs_lock:
        if p not in _profile_dbs:
            _profile_dbs[p] = SessionDB(db_path=get_profile_home(p) / "state.db")
        return _profile_dbs[p]


def _get_config_model():
    try:
        import yaml
        path = get_profile_home(_active_profile) / "config.yaml"
        if path.exists():
            cfg = yaml.safe_load(path.read_text(encoding="utf-8")) or {}
            model_cfg = cfg.get("model", {})
            if isinstance(model_cfg, str):
                return model_cfg
            if isinstance(model_cfg, dict):
                value = model_cfg.get("default") or model_cfg.get("model") or ""
                if not isinstance(value, str):
                    raise TypeError("model name is not text")
                return value
            raise TypeError("unexpected model entry")
    except Exception:
        pass
    return os.environ.get("ZALIX_MODEL", "")


def build_agent_kwargs(profile_home):
    return {}


# -- warm agent cache -------------------------------------------------------

def get_session_lock(session_id):
    _need_text("get_session_lock", "session_id", session_id)
    with _session_locks_lock:
        lock = _session_locks.get(session_id)
        if lock is None:
            lock = _session_locks[session_id] = threading.Lock()
        return lock


def _user_ephemeral_prompt(profile_home):
    prompt = ""
    try:
        import yaml
        path = profile_home / "config.yaml"
        if path.exists():
            cfg = yaml.safe_load(path.read_text(encoding="utf-8")) or {}
            prompt = ((cfg.get("agent") or {}).get("system_prompt") or "").strip()
    except Exception:
        prompt = ""
    env_prompt = os.environ.get("KORVEL_EPHEMERAL_SYSTEM_PROMPT")
    if env_prompt:
        prompt = env_prompt
    return prompt


def get_agent(session_id, streaming_session_id=None):
    _need_text("get_agent", "session_id", session_id)
    _need_optional_text("get_agent", "streaming_session_id", streaming_session_id)
    db = get_session_db()
    current_gen = get_model_generation()
    with agent_cache_lock:
        if session_id in agent_cache:
            cached_gen = getattr(agent_cache[session_id], "_zalix_model_gen", -1)
            if cached_gen != current_gen:
                new_model = _get_config_model() or DEFAULT_MODEL
                old_model = getattr(agent_cache[session_id], "model", "unknown")
                for sid, cached in list(agent_cache.items()):
                    try:
                        cached.switch_model(
                            new_model=new_model,
                            new_provider=os.environ.get("ZALIX_PROVIDER", "openrouter"),
                            api_key=os.environ.get("OPENROUTER_API_KEY", ""),
                            base_url=os.environ.get("ZALIX_BASE_URL", DEFAULT_BASE_URL),
                        )
                        cached._zalix_model_gen = current_gen
                    except Exception:
                        agent_cache.pop(sid, None)
                with _pending_model_notes_lock:
                    for sid in list(agent_cache):
                        _pending_model_notes[sid] = _switch_note(old_model, new_model)
        if session_id not in agent_cache:
            model = _get_config_model() or DEFAULT_MODEL
            profile_home = get_profile_home(_active_profile)
            extra = build_agent_kwargs(profile_home)
            user_prompt = _user_ephemeral_prompt(profile_home)
            prompt = PLATFORM_NOTE
            if user_prompt:
                prompt = (PLATFORM_NOTE + "\n\n" + user_prompt).strip()
            agent = AIAgent(
                model=model,
                api_key=os.environ.get("OPENROUTER_API_KEY", ""),
                base_url=os.environ.get("ZALIX_BASE_URL", DEFAULT_BASE_URL),
                provider=os.environ.get("ZALIX_PROVIDER", "openrouter"),
                platform="zalix",
                session_id=session_id,
                session_db=db,
                quiet_mode=True,
                enabled_toolsets=os.environ.get("ZALIX_TOOLSETS", "korvel-cli").split(","),
                ephemeral_system_prompt=prompt or None,
                **extra,
            )
            agent._zalix_model_gen = current_gen
            agent_cache[session_id] = agent
        agent = agent_cache[session_id]
        agent.session_id = session_id
        agent._last_flushed_db_idx = 0
        if streaming_session_id:
            stream_id = streaming_session_id

            def _on_delta(delta):
                push_stream_delta(stream_id, delta)

            agent.stream_delta_callback = _on_delta
            agent.tool_progress_callback = _make_tool_progress_callback(stream_id)
            agent.thinking_callback = _make_thinking_callback(stream_id)
            agent.reasoning_callback = _make_reasoning_callback(stream_id)
            agent.status_callback = _make_status_callback(stream_id)
            agent.background_review_callback = _make_background_review_callback(stream_id)
        approval_ctx = wire_approval_for_session(session_id, push_stream_event)
        return agent, approval_ctx
