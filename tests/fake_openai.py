"""A local OpenAI-compatible model server for the tests (127.0.0.1 only).

What it answers depends on the model asked for:

  fake/chat     streams reasoning, then "Echo: <the last user text>"
  fake/vision   takes images; answers "I see N image(s)" (N image parts received)
  fake/long     streams "tick " every 50 ms for a minute (something to stop)
  fake/cut      streams two pieces, then ends the answer without finishing it
  fake/drop     the same, but the connection breaks (less body than announced)
  fake/busy     429 with a Retry-After of 7 seconds
  fake/broken   500
  fake/tools    an agent: a user message whose lines read "call <tool> <arguments>"
                is answered with those tool calls (several in one answer, the
                arguments sent verbatim, in small pieces), after the text of
                any "say <text>" line; once the calls have their results it
                answers "Results: " and each result's first line, " | "
                between them. Other messages are echoed.
  fake/loop     never stops calling tools: the calls of the user's message
                ("call" lines), else list_dir on ".", in every answer
  fake/notools  400 "does not support tools" to a request that offers tools,
                else as fake/chat
  anything else 404 (no such model)

A request with the key "bad-key" gets 401. An unstreamed request gets a
summary (its system prompt starts "Summarize"), an image description (it
holds an image part) or the title "Otters and rivers". GET /v1/models lists the models above.
"""
from __future__ import annotations

import json
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MODELS = [
    {"id": "fake/chat", "name": "Fake chat",
     "architecture": {"input_modalities": ["text"], "output_modalities": ["text"]}},
    {"id": "fake/vision", "name": "Fake vision",
     "architecture": {"input_modalities": ["text", "image"], "output_modalities": ["text"]}},
    {"id": "fake/long", "name": "Fake long"},
    {"id": "fake/cut", "name": "Fake cut"},
    {"id": "fake/drop", "name": "Fake drop"},
    {"id": "fake/busy", "name": "Fake busy"},
    {"id": "fake/broken", "name": "Fake broken"},
    {"id": "fake/tools", "name": "Fake agent"},
    {"id": "fake/loop", "name": "Fake endless agent"},
    {"id": "fake/notools", "name": "Fake without tools"},
]
#: Characters per piece of a streamed tool call's arguments.
ARG_PIECE = 7
TITLE = "Otters and rivers"
SUMMARY = "The user asked about otters; the agent listed the river folder."
IMAGE_DESCRIPTION = "A gradient from green to blue."


def _chunk(model, content=None, reasoning=None, finish=None, field="reasoning"):
    delta = {}
    if content is not None:
        delta["content"] = content
    if reasoning is not None:
        delta[field] = reasoning
    return {"id": "chatcmpl-fake", "object": "chat.completion.chunk", "created": 1,
            "model": model, "choices": [{"index": 0, "delta": delta, "finish_reason": finish}]}


def _tool_chunk(model, index, call_id=None, name=None, arguments=None, finish=None):
    call = {"index": index}
    if call_id is not None:
        call["id"] = call_id
        call["type"] = "function"
    fn = {}
    if name is not None:
        fn["name"] = name
    if arguments is not None:
        fn["arguments"] = arguments
    if fn:
        call["function"] = fn
    return {"id": "chatcmpl-fake", "object": "chat.completion.chunk", "created": 1,
            "model": model, "choices": [{"index": 0, "delta": {"tool_calls": [call]},
                                         "finish_reason": finish}]}


def agent_answer(model, messages):
    """(text, [(tool name, raw arguments), ...]) of the fake agents."""
    if model == "fake/loop":
        for message in messages:
            if message.get("role") == "user" and message["content"].startswith("call "):
                return "", agent_answer("fake/tools", [message])[1]
        return "", [("list_dir", '{"path": "."}')]
    results = []
    for message in reversed(messages):
        if message.get("role") != "tool":
            break
        results.insert(0, (message.get("content") or "").split("\n", 1)[0])
    if results:
        return "Results: " + " | ".join(results), []
    text, calls = [], []
    for line in _last_user(messages).splitlines():
        if line.startswith("call "):
            name, _, raw = line[5:].partition(" ")
            calls.append((name, raw))
        elif line.startswith("say "):
            text.append(line[4:])
    if not calls:
        return "Echo: " + _last_user(messages), []
    return " ".join(text), calls


def _short_answer(body):
    """An unstreamed answer: a summary, an image description or a title."""
    messages = body.get("messages") or []
    first = messages[0].get("content") if messages else ""
    if isinstance(first, str) and first.startswith("Summarize"):
        return f"{SUMMARY} ({messages[-1]['content'].count(chr(10) + chr(10)) + 1} entries)"
    if any(isinstance(m.get("content"), list) and any(p.get("type") == "image_url" for p in m["content"])
           for m in messages):
        return IMAGE_DESCRIPTION
    return TITLE


def _last_user(messages):
    for message in reversed(messages):
        if message.get("role") == "user":
            content = message.get("content")
            if isinstance(content, list):
                return " ".join(p.get("text", "") for p in content if p.get("type") == "text")
            return content or ""
    return ""


class FakeModelServer:
    def __init__(self) -> None:
        self.requests: list = []  # (path, authorization header, parsed JSON body or None)
        self.arrivals: list = []  # time.monotonic() when each chat request's body was read
        self.disconnects = 0      # long streams whose client went away
        self.models_served = 0
        self.models_down = False  # GET /models answers 503 while set
        self._lock = threading.Lock()
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._httpd.daemon_threads = True
        self.port = self._httpd.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}/v1"
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._httpd.shutdown()
        self._httpd.server_close()

    def chat_requests(self, stream=True):
        with self._lock:
            return [body for path, _, body in self.requests
                    if path.endswith("/chat/completions") and bool(body.get("stream")) == stream]

    def _record(self, *item):
        with self._lock:
            self.requests.append(item)

    def _handler(server):  # noqa: N805 - the handler closes over the server
        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _json(self, status, body, headers=None):
                data = json.dumps(body).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                for name, value in (headers or {}).items():
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(data)

            def _error(self, status, message, headers=None):
                self._json(status, {"error": {"message": message, "code": status}}, headers)

            def _authorized(self):
                auth = self.headers.get("Authorization", "")
                if auth == "Bearer bad-key":
                    self._error(401, "No auth credentials found")
                    return False
                return True

            def do_GET(self):
                server._record(self.path, self.headers.get("Authorization"), None)
                if not self._authorized():
                    return
                if self.path.rstrip("/").endswith("/models"):
                    if server.models_down:
                        self._error(503, "model list unavailable")
                        return
                    server.models_served += 1
                    self._json(200, {"object": "list", "data": MODELS})
                else:
                    self._error(404, "not found")

            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = json.loads(self.rfile.read(length) or b"{}")
                if self.path.endswith("/chat/completions"):
                    with server._lock:
                        server.arrivals.append(time.monotonic())
                server._record(self.path, self.headers.get("Authorization"), body)
                if not self._authorized():
                    return
                if not self.path.endswith("/chat/completions"):
                    self._error(404, "not found")
                    return
                model = body.get("model")
                if model == "fake/busy":
                    self._error(429, "Rate limit exceeded", {"Retry-After": "7"})
                elif model == "fake/broken":
                    self._error(500, "Internal error in the model")
                elif model == "fake/notools" and body.get("tools"):
                    self._error(400, "registry.ollama.ai/library/fake does not support tools")
                elif model not in {m["id"] for m in MODELS}:
                    self._error(404, f"No endpoints found for {model}.")
                elif not body.get("stream"):
                    self._json(200, {"id": "chatcmpl-fake", "object": "chat.completion",
                                     "created": 1, "model": model, "choices": [{
                                         "index": 0, "finish_reason": "stop",
                                         "message": {"role": "assistant",
                                                     "content": _short_answer(body)}}]})
                else:
                    self._stream(model, body)

            def _send_event(self, payload):
                data = payload if isinstance(payload, str) else json.dumps(payload)
                self.wfile.write(f"data: {data}\n\n".encode())
                self.wfile.flush()

            def _stream(self, model, body):
                self.send_response(200)
                self.send_header("Content-Type", "text/event-stream")
                self.send_header("Cache-Control", "no-cache")
                self.send_header("Connection", "close")
                if model == "fake/drop":
                    self.send_header("Content-Length", "100000")
                self.end_headers()
                self.close_connection = True
                try:
                    if model == "fake/long":
                        self.wfile.write(b": keep-alive\n\n")
                        for _ in range(1200):
                            self._send_event(_chunk(model, "tick "))
                            time.sleep(0.05)
                        return
                    if model in ("fake/cut", "fake/drop"):
                        self._send_event(_chunk(model, "The first half"))
                        self._send_event(_chunk(model, " of an answer"))
                        return  # the connection closes without an end
                    if model in ("fake/tools", "fake/loop"):
                        self._agent(model, body)
                        return
                    if model == "fake/vision":
                        images = sum(1 for m in body["messages"] if isinstance(m.get("content"), list)
                                     for p in m["content"] if p.get("type") == "image_url")
                        pieces = [f"I see {images} image(s)."]
                    else:
                        pieces = ["Echo: ", _last_user(body["messages"])]
                    self._send_event(_chunk(model, reasoning="Thinking it ", field="reasoning"))
                    self._send_event(_chunk(model, reasoning="over.", field="reasoning_content"))
                    for piece in pieces:
                        self._send_event(_chunk(model, piece))
                    self._send_event(_chunk(model, finish="stop"))
                    self._send_event("[DONE]")
                except (BrokenPipeError, ConnectionResetError):
                    with server._lock:
                        server.disconnects += 1
            def _agent(self, model, body):
                text, calls = agent_answer(model, body["messages"])
                words = text.split(" ") if text else []
                for i, word in enumerate(words):
                    self._send_event(_chunk(model, word + " " if i < len(words) - 1 else word))
                # Two calls arrive interleaved: each one's id and name first,
                # then their arguments piece by piece, by turns.
                for index, (name, _) in enumerate(calls):
                    self._send_event(_tool_chunk(model, index, f"call_{uuid.uuid4().hex[:8]}", name, ""))
                pieces = [[raw[i:i + ARG_PIECE] for i in range(0, len(raw), ARG_PIECE)]
                          for _, raw in calls]
                for step in range(max((len(p) for p in pieces), default=0)):
                    for index, parts in enumerate(pieces):
                        if step < len(parts):
                            self._send_event(_tool_chunk(model, index, arguments=parts[step]))
                self._send_event(_chunk(model, finish="tool_calls" if calls else "stop"))
                self._send_event("[DONE]")

        return Handler
