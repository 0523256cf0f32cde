"""Talking to a language model through an OpenAI-compatible endpoint.

The agent uses a model when one is configured: an API key, or a base URL
other than the default (a local server such as http://127.0.0.1:11434/v1
needs no key). Everything here goes through the official ``openai`` client.

A streamed request runs on a pump thread of its own and hands its chunks to
the turn's thread through a queue, so that a stop never waits for the
network: the turn stops reading at once and closes the request.
"""
import base64
import email.utils
import json
import logging
import queue
import threading
import time
from pathlib import Path
from urllib.parse import urlparse

logger = logging.getLogger("standin.model")

DEFAULT_BASE_URL = "https://openrouter.ai/api/v1"

#: Seconds allowed to connect, and between two pieces of a streamed answer
#: (a model that thinks for long sends keep-alive comments meanwhile).
CONNECT_TIMEOUT = 10.0
READ_TIMEOUT = 120.0
#: A short request (a title, the model list) gets this long in all.
SHORT_TIMEOUT = 10.0
#: How long a fetched model list is used before it is fetched again.
MODELS_TTL = 300.0
#: A failed request that may succeed when repeated (a server error, a refused
#: connection) is repeated this often, after this pause, before any text.
RETRIES = 1
RETRY_PAUSE = 1.0
#: Images larger than this are left to their text description.
MAX_IMAGE_BYTES = 20 * 1024 * 1024

#: Replies that earlier versions stored for a failed request start with this; they stay in the
#: history for the user but are never sent back to the model.
FAILURE_MARK = "⚠️ "
#: What the model reads after an answer of its own that a stop cut off.
INTERRUPTED_MARK = "[interrupted]"


# -- the endpoint ---------------------------------------------------------------

def is_configured(api_key, base_url):
    """True when a model endpoint is configured: a key, or a base URL other
    than the default."""
    if api_key:
        return True
    return bool(base_url) and base_url.rstrip("/") != DEFAULT_BASE_URL


def host_of(base_url):
    """The endpoint's host (and port) for messages: never credentials or paths."""
    parsed = urlparse(base_url or DEFAULT_BASE_URL)
    host = parsed.hostname or "?"
    return f"{host}:{parsed.port}" if parsed.port else host


def is_openrouter(base_url):
    host = (urlparse(base_url or DEFAULT_BASE_URL).hostname or "").lower()
    return host == "openrouter.ai" or host.endswith(".openrouter.ai")


_tls_lock = threading.Lock()
_tls_context = None


def _tls():
    """One TLS context for every client: building one reads the whole CA
    bundle (tens of milliseconds), which every request would pay again."""
    global _tls_context
    with _tls_lock:
        if _tls_context is None:
            import ssl

            try:
                import certifi

                _tls_context = ssl.create_default_context(cafile=certifi.where())
            except ImportError:
                _tls_context = ssl.create_default_context()
        return _tls_context


def make_client(api_key, base_url, timeout=None):
    import openai

    if timeout is None:
        timeout = openai.Timeout(READ_TIMEOUT, connect=CONNECT_TIMEOUT)
    # Retries are ours (see stream_chat): the client's own would wait out a
    # rate limit's retry time before the user hears of it.
    return openai.OpenAI(api_key=api_key or "no-key", base_url=base_url or DEFAULT_BASE_URL,
                         timeout=timeout, max_retries=0,
                         http_client=openai.DefaultHttpxClient(verify=_tls(), timeout=timeout))


_endpoint_lock = threading.Lock()
_last_endpoint = None


def remember_endpoint(api_key, base_url, model):
    """Note the endpoint and model of the latest turn (titles use them)."""
    global _last_endpoint
    with _endpoint_lock:
        _last_endpoint = (api_key, base_url, model)


def last_endpoint():
    with _endpoint_lock:
        return _last_endpoint


# -- the request ------------------------------------------------------------------

def request_body(model, messages, *, base_url=None, provider_routing=None, reasoning_config=None,
                 service_tier=None, fallback_model=None, request_overrides=None, tools=None):
    """Arguments of one chat completion request, with the settings the
    endpoint takes: OpenRouter gets its provider routing, reasoning object and
    fallback model; other endpoints get the reasoning effort. ``tools``: the
    function tools offered to the model."""
    body = {"model": model, "messages": messages}
    if tools:
        body["tools"] = tools
    extra = {}
    routing = {k: v for k, v in (provider_routing or {}).items()
               if v is not None and v != [] and v is not False}
    if is_openrouter(base_url):
        if routing:
            extra["provider"] = routing
        if reasoning_config:
            extra["reasoning"] = dict(reasoning_config)
        if fallback_model and fallback_model != model:
            extra["models"] = [model, fallback_model]
    elif isinstance(reasoning_config, dict) and reasoning_config.get("effort"):
        extra["reasoning_effort"] = reasoning_config["effort"]
    if service_tier:
        extra["service_tier"] = service_tier
    for key, value in (request_overrides or {}).items():
        if key in ("messages", "stream"):
            logger.warning("request_overrides: %s cannot be overridden; ignored", key)
            continue
        extra[key] = value
    if extra:
        body["extra_body"] = extra
    return body


def conversation(messages, system_prompt=None):
    """The stored conversation as request messages: the system prompt first,
    reports of failed requests left out. An assistant message that called
    tools keeps its calls, each followed by its result (role "tool"); a call
    whose result was never stored gets one that says so, and a result
    without its call is left out, so the endpoint always gets pairs."""
    out = []
    if system_prompt:
        out.append({"role": "system", "content": system_prompt})
    open_calls = []  # ids of the latest assistant message's calls not yet answered

    def close_calls():
        for call_id in open_calls:
            out.append({"role": "tool", "tool_call_id": call_id,
                        "content": "(no result was recorded for this call)"})
        open_calls.clear()

    for message in messages:
        role = message.get("role")
        content = message.get("content")
        if role == "tool":
            call_id = message.get("tool_call_id")
            if call_id in open_calls:
                open_calls.remove(call_id)
                out.append({"role": "tool", "tool_call_id": call_id,
                            "content": content if isinstance(content, str) else json.dumps(content)})
            continue
        close_calls()
        if role not in ("system", "user", "assistant"):
            continue
        if role == "assistant" and isinstance(content, str):
            if content.startswith(FAILURE_MARK):
                continue
            content = content.split("\n\n" + FAILURE_MARK, 1)[0]
        if content is None:
            content = ""
        meta = message.get("meta")
        if role == "assistant" and isinstance(meta, dict) and meta.get("interrupted"):
            # The model is told its answer was cut off, not left to think it ended there.
            content = f"{content} {INTERRUPTED_MARK}".strip() if isinstance(content, str) else content
        entry = {"role": role, "content": content}
        calls = message.get("tool_calls") if role == "assistant" else None
        if isinstance(calls, list) and calls:
            entry["tool_calls"] = calls
            entry["content"] = content or None
            open_calls.extend(c.get("id") for c in calls if isinstance(c, dict))
        out.append(entry)
    close_calls()
    return out


# -- attached images ----------------------------------------------------------------

_MIME = [(b"\x89PNG\r\n\x1a\n", "image/png"), (b"\xff\xd8\xff", "image/jpeg"),
         (b"GIF87a", "image/gif"), (b"GIF89a", "image/gif")]


def image_data_url(path):
    """The image at ``path`` as a data URL, or None when it cannot be sent."""
    try:
        p = Path(path)
        if not p.is_file() or p.stat().st_size > MAX_IMAGE_BYTES:
            return None
        data = p.read_bytes()
    except OSError:
        return None
    mime = next((m for magic, m in _MIME if data.startswith(magic)), None)
    if mime is None and data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        mime = "image/webp"
    if mime is None:
        return None
    return f"data:{mime};base64,{base64.b64encode(data).decode('ascii')}"


def with_image_parts(paths, text):
    """The user's ``text`` and the images at ``paths`` as content parts, or
    None when one of the images cannot be sent."""
    urls = [u for u in (image_data_url(p) for p in paths) if u]
    if not urls or len(urls) != len(paths):
        return None
    parts = [{"type": "text", "text": text}] if text.strip() else []
    parts += [{"type": "image_url", "image_url": {"url": url}} for url in urls]
    return parts


def takes_images(entry):
    """Whether a model list entry says the model accepts images (False when
    the entry does not tell)."""
    if not isinstance(entry, dict):
        return False
    arch = entry.get("architecture")
    if isinstance(arch, dict):
        inputs = arch.get("input_modalities")
        if isinstance(inputs, list):
            return "image" in inputs
        modality = arch.get("modality")
        if isinstance(modality, str) and "->" in modality:
            return "image" in modality.split("->", 1)[0]
    modalities = entry.get("modalities") or entry.get("input_modalities")
    if isinstance(modalities, dict):
        modalities = modalities.get("input")
    if isinstance(modalities, list):
        return "image" in modalities
    capabilities = entry.get("capabilities")
    if isinstance(capabilities, list):
        return any(c in ("vision", "image", "images") for c in capabilities)
    if isinstance(capabilities, dict):
        return any(bool(capabilities.get(k)) for k in ("vision", "image", "images"))
    return bool(entry.get("supports_vision") or entry.get("vision"))


# -- the model list -------------------------------------------------------------------

_models_lock = threading.Lock()
_models_cache = {}  # base URL -> (fetched at, [entry, ...] or None after a failure)
#: After a failed fetch the endpoint is not asked again for this long.
MODELS_RETRY = 60.0


def list_models(api_key, base_url):
    """The endpoint's model entries (mappings with at least "id"), fetched
    from <base_url>/models and kept for MODELS_TTL seconds. Raises the
    client's error when the list cannot be fetched."""
    key = (base_url or DEFAULT_BASE_URL).rstrip("/")
    with _models_lock:
        cached = _models_cache.get(key)
    if cached:
        age = time.monotonic() - cached[0]
        if cached[1] is not None and age < MODELS_TTL:
            return cached[1]
        if cached[1] is None and age < MODELS_RETRY:
            raise LookupError("the model list could not be fetched a moment ago")
    client = make_client(api_key, base_url, timeout=SHORT_TIMEOUT)
    entries = None
    try:
        entries = []
        for model in client.models.list():
            entry = model.model_dump() if hasattr(model, "model_dump") else dict(model)
            if isinstance(entry.get("id"), str):
                entries.append(entry)
    except Exception:
        entries = None
        raise
    finally:
        client.close()
        with _models_lock:
            _models_cache[key] = (time.monotonic(), entries)
    return entries


def model_takes_images(api_key, base_url, model):
    try:
        entries = list_models(api_key, base_url)
    except Exception as exc:
        logger.warning("Model list of %s unavailable: %s", host_of(base_url), _short(exc))
        return False
    entry = next((e for e in entries if e.get("id") == model), None)
    return takes_images(entry)


# -- failures -------------------------------------------------------------------------

def _short(exc):
    text = str(exc) or type(exc).__name__
    return text if len(text) <= 300 else text[:299] + "…"


def _server_message(exc):
    body = getattr(exc, "body", None)
    if isinstance(body, dict):
        err = body.get("error", body)
        if isinstance(err, dict) and isinstance(err.get("message"), str):
            return err["message"]
        if isinstance(body.get("message"), str):
            return body["message"]
    return getattr(exc, "message", None) or _short(exc)


def retry_after(exc):
    """Seconds to wait according to a rate-limit answer, or None."""
    response = getattr(exc, "response", None)
    headers = getattr(response, "headers", None) or {}
    value = headers.get("retry-after-ms")
    if value:
        try:
            return float(value) / 1000.0
        except ValueError:
            pass
    value = headers.get("retry-after")
    if value:
        try:
            return float(value)
        except ValueError:
            when = email.utils.parsedate_to_datetime(value) if value else None
            if when is not None:
                return max(0.0, when.timestamp() - time.time())
    return None


def describe_failure(exc, base_url, model):
    """A sentence for the user about a failed request."""
    import openai

    host = host_of(base_url)
    status = getattr(exc, "status_code", None)
    detail = _server_message(exc)
    if isinstance(exc, openai.AuthenticationError):
        return (f"{host} refused the API key (401: {detail}). Check OPENROUTER_API_KEY "
                f"{key_source()}.")
    if isinstance(exc, openai.PermissionDeniedError):
        return f"{host} does not allow this request (403: {detail})."
    if isinstance(exc, openai.RateLimitError):
        wait = retry_after(exc)
        when = f" Try again in {max(1, round(wait))} s." if wait is not None else " Try again later."
        return f"{host} is rate-limiting requests (429: {detail}).{when}"
    if isinstance(exc, openai.NotFoundError):
        return (f"{host} does not know the model {model!r} (404: {detail}). Pick another model, "
                "or check the endpoint's address.")
    if isinstance(exc, openai.APITimeoutError):
        return f"{host} did not answer in time. Try again."
    if isinstance(exc, openai.APIConnectionError):
        cause = exc.__cause__ or exc.__context__
        why = f": {_short(cause)}" if cause else ""
        return f"Cannot reach the model endpoint at {host}{why}."
    if status is not None:
        return f"{host} answered with an error ({status}: {detail})."
    return f"The request to {host} failed: {detail}"


def key_source():
    """Where the API key in use came from, as advice names it: the profile's
    .env, ~/.korvel/.env, or the environment the host was started with (the
    bridge keeps a variable that was already set, and a profile's .env
    overrides both)."""
    import os

    from dotenv import dotenv_values

    key = os.environ.get("OPENROUTER_API_KEY", "")
    root = Path.home() / ".korvel"
    home = Path(os.environ.get("KORVEL_HOME") or root)
    if home != root:
        profile_env = home / ".env"
        if key and dotenv_values(profile_env).get("OPENROUTER_API_KEY") == key:
            return f"in the profile's .env ({profile_env})"
    if key and dotenv_values(root / ".env").get("OPENROUTER_API_KEY") == key:
        return "in ~/.korvel/.env"
    return "in the environment the dashboard was started with"


def failure_kind(exc):
    """What kind of failure a request met: "auth", "rate_limit",
    "not_found", "server", "unreachable" or "other"."""
    import openai

    if isinstance(exc, (openai.AuthenticationError, openai.PermissionDeniedError)):
        return "auth"
    if isinstance(exc, openai.RateLimitError):
        return "rate_limit"
    if isinstance(exc, openai.NotFoundError):
        return "not_found"
    if isinstance(exc, (openai.APITimeoutError, openai.APIConnectionError)):
        return "unreachable"
    status = getattr(exc, "status_code", None)
    if isinstance(status, int) and status >= 500:
        return "server"
    return "other"


def failure(exc, base_url, model):
    """The error record of a failed request: {"message", "kind",
    "retry_after" (seconds, when the endpoint said)}."""
    record = {"message": describe_failure(exc, base_url, model), "kind": failure_kind(exc)}
    wait = retry_after(exc) if record["kind"] == "rate_limit" else None
    if wait is not None:
        record["retry_after"] = max(1.0, round(wait, 1))
    return record


def describe_break(exc):
    """Why an answer that had begun stopped arriving."""
    import openai

    if isinstance(exc, openai.APITimeoutError):
        return f"nothing more arrived within {READ_TIMEOUT:g} s"
    if isinstance(exc, openai.APIConnectionError):
        cause = exc.__cause__ or exc.__context__
        return f"the connection was lost ({_short(cause) if cause else 'no reason given'})"
    return _server_message(exc)


def refuses_tools(exc):
    """Whether a failed request says the model or endpoint takes no tools."""
    status = getattr(exc, "status_code", None)
    if status not in (400, 404, 422):
        return False
    text = str(_server_message(exc)).lower()
    return "tool" in text and any(w in text for w in ("support", "not allowed", "unsupported",
                                                      "does not", "doesn't", "invalid"))


def retriable(exc):
    import openai

    if isinstance(exc, (openai.APITimeoutError, openai.APIConnectionError)):
        return True
    status = getattr(exc, "status_code", None)
    return isinstance(status, int) and status >= 500


# -- streaming --------------------------------------------------------------------------

class Stopped(Exception):
    """The turn was stopped while the request ran."""


class StreamCut(Exception):
    """The answer ended before the model finished it."""


def _as_sent(body):
    """The request's arguments with its messages and tools passed as they are
    (they are JSON already): the client's own conversion of each field costs
    about a millisecond per message, which a long agent turn would pay again
    for its whole conversation on every request. Settings in extra_body still
    come last."""
    body = dict(body)
    extra = {"messages": body["messages"]}
    body["messages"] = []
    if "tools" in body:
        extra["tools"] = body.pop("tools")
    extra.update(body.pop("extra_body", None) or {})
    body["extra_body"] = extra
    return body


class _Pump:
    """One streamed request on a thread of its own; chunks arrive in a queue."""

    def __init__(self, client, body):
        self.queue = queue.Queue()
        self._client = client
        self._body = body
        self._stream = None
        self._closed = threading.Event()
        self._thread = threading.Thread(target=self._run, name="model-stream", daemon=True)
        self._thread.start()

    def _run(self):
        try:
            stream = self._client.chat.completions.create(stream=True, **_as_sent(self._body))
            self._stream = stream
            if self._closed.is_set():
                stream.close()
                return
            for chunk in stream:
                if self._closed.is_set():
                    break
                self.queue.put(("chunk", chunk))
            self.queue.put(("end", None))
        except BaseException as exc:  # handed to the turn's thread
            self.queue.put(("error", exc))
        finally:
            self._finish()

    def _finish(self):
        stream = self._stream
        try:
            if stream is not None:
                stream.close()
        except Exception:
            pass
        try:
            self._client.close()
        except Exception:
            pass

    def close(self):
        """Stop reading and close the connection (from the turn's thread)."""
        self._closed.set()
        stream = self._stream
        if stream is not None:
            try:
                stream.close()
            except Exception:
                logger.debug("Closing the model stream failed", exc_info=True)


def _reasoning_of(delta):
    """Reasoning text of a streamed delta: endpoints name the field
    "reasoning" or "reasoning_content" (fields the client does not declare)."""
    extra = getattr(delta, "model_extra", None) or {}
    for name in ("reasoning", "reasoning_content"):
        value = extra.get(name) or getattr(delta, name, None)
        if isinstance(value, str) and value:
            return value
    return None


class Answer(tuple):
    """A streamed answer: (text, reasoning, finish reason), and the tool calls
    it ends with in ``.tool_calls`` ([{"id", "name", "arguments"}], the
    arguments as the raw text the model wrote) and ``.ended_at``, the
    monotonic time its last piece arrived."""

    tool_calls = ()
    ended_at = 0.0


class _ToolCalls:
    """Tool calls put together from streamed pieces: each piece names its
    call by index; the id and name come once, the arguments in parts."""

    def __init__(self):
        self._calls = {}

    def add(self, pieces):
        for piece in pieces or ():
            index = getattr(piece, "index", None)
            if index is None:
                index = len(self._calls)
            call = self._calls.setdefault(index, {"id": "", "name": "", "arguments": []})
            if getattr(piece, "id", None):
                call["id"] = piece.id
            fn = getattr(piece, "function", None)
            if fn is not None:
                if getattr(fn, "name", None):
                    if fn.name != call["name"]:  # some servers repeat it in every piece
                        call["name"] += fn.name
                if getattr(fn, "arguments", None):
                    call["arguments"].append(fn.arguments)

    def result(self):
        out = []
        for n, index in enumerate(sorted(self._calls)):
            call = self._calls[index]
            out.append({"id": call["id"] or f"call_{n}", "name": call["name"],
                        "arguments": "".join(call["arguments"])})
        return out


def stream_chat(client_factory, body, stopped, on_text, on_reasoning, on_retry=None, poll=0.05):
    """Run one streamed chat completion; an Answer: the text, the reasoning
    and the finish reason, with the tool calls it asks for. Calls on_text /
    on_reasoning for every delta. Raises Stopped when ``stopped`` is set
    meanwhile, StreamCut (with the text so far in .text) when the answer
    breaks off, and the client's error when the request fails."""
    attempt = 0
    while True:
        text, reasoning = [], []
        calls = _ToolCalls()
        finish = None
        pump = _Pump(client_factory(), body)
        try:
            while True:
                if stopped.is_set():
                    raise Stopped()
                try:
                    kind, item = pump.queue.get(timeout=poll)
                except queue.Empty:
                    continue
                if kind == "end":
                    break
                if kind == "error":
                    raise item
                for choice in item.choices or []:
                    delta = choice.delta
                    if delta is not None:
                        think = _reasoning_of(delta)
                        if isinstance(think, str) and think:
                            reasoning.append(think)
                            on_reasoning(think)
                        if delta.content:
                            text.append(delta.content)
                            on_text(delta.content)
                        if getattr(delta, "tool_calls", None):
                            calls.add(delta.tool_calls)
                    if choice.finish_reason:
                        finish = choice.finish_reason
        except Stopped:
            pump.close()
            raise Stopped("".join(text)) from None
        except Exception as exc:
            pump.close()
            if text or reasoning or calls.result():
                cut = StreamCut(describe_break(exc))
                cut.text = "".join(text)
                raise cut from exc
            if attempt < RETRIES and retriable(exc):
                attempt += 1
                if on_retry is not None:
                    on_retry(exc, RETRY_PAUSE)
                if stopped.wait(RETRY_PAUSE):
                    raise Stopped("") from None
                continue
            raise
        if finish is None:
            cut = StreamCut("the stream ended before the model finished its answer")
            cut.text = "".join(text)
            raise cut
        answer = Answer(("".join(text), "".join(reasoning), finish))
        answer.tool_calls = calls.result()
        answer.ended_at = time.monotonic()
        return answer


def complete_short(api_key, base_url, model, messages, max_tokens=40, timeout=SHORT_TIMEOUT):
    """One unstreamed answer (titles, summaries, image descriptions); None on
    any failure."""
    try:
        client = make_client(api_key, base_url, timeout=timeout)
        try:
            answer = client.chat.completions.create(model=model, messages=messages,
                                                    max_tokens=max_tokens)
        finally:
            client.close()
        content = answer.choices[0].message.content if answer.choices else None
        return content if isinstance(content, str) else None
    except Exception as exc:
        logger.warning("Short request to %s failed: %s", host_of(base_url), _short(exc))
        return None


# -- summaries and image descriptions ------------------------------------------------

SUMMARY_PROMPT = (
    "Summarize the conversation below for the assistant who continues it: what the user "
    "wants, what was decided, what was done (commands run, files changed, their results) "
    "and what is still open. Keep names, paths and numbers exact. Answer with the summary only.")
#: Seconds a summary or an image description may take.
LONG_TIMEOUT = 90.0
#: Characters of older conversation sent to be summarized (the latest are kept).
MAX_SUMMARY_INPUT = 120_000


def transcript(messages):
    """Messages as plain text for a summary: each one's role and words, tool
    calls with their arguments, tool results shortened."""
    lines = []
    for message in messages:
        role = message.get("role", "?")
        content = message.get("content")
        if isinstance(content, list):
            content = " ".join(p.get("text", "[image]") if isinstance(p, dict) else "" for p in content)
        text = content if isinstance(content, str) else ""
        if role == "tool":
            text = text if len(text) <= 2000 else text[:1000] + " […] " + text[-800:]
            lines.append(f"Result of {message.get('tool_name') or 'a tool'}: {text}")
            continue
        for call in message.get("tool_calls") or ():
            fn = call.get("function", {}) if isinstance(call, dict) else {}
            lines.append(f"{role} called {fn.get('name')} with {str(fn.get('arguments'))[:1000]}")
        if text:
            lines.append(f"{role}: {text}")
    out = "\n\n".join(lines)
    return out if len(out) <= MAX_SUMMARY_INPUT else "[…]\n" + out[-MAX_SUMMARY_INPUT:]


def summarize(api_key, base_url, model, messages):
    """The model's summary of ``messages``, or None when it gave none."""
    answer = complete_short(api_key, base_url, model, [
        {"role": "system", "content": SUMMARY_PROMPT},
        {"role": "user", "content": transcript(messages)}], max_tokens=1500, timeout=LONG_TIMEOUT)
    answer = (answer or "").strip()
    return answer or None


def describe_image(api_key, base_url, model, data_url, prompt):
    """The model's description of an image, or None."""
    answer = complete_short(api_key, base_url, model, [{"role": "user", "content": [
        {"type": "text", "text": prompt or "Describe this image in detail."},
        {"type": "image_url", "image_url": {"url": data_url}}]}],
        max_tokens=800, timeout=LONG_TIMEOUT)
    answer = (answer or "").strip()
    return answer or None
