"""The bundled engine's agent.

AIAgent keeps a conversation between turns and runs one turn per
run_conversation() call on the caller's thread, stores the exchange in its
session store, and stops early when interrupt() is called.

With a model endpoint configured (an API key, or a base URL other than the
default), a turn sends the conversation to <base_url>/chat/completions and
streams the model's text and reasoning through the agent's callbacks; see
agent/model_client.py.

Without one there is no language model behind it: a turn streams a scripted
reply through the agent's callbacks (reasoning, a tool call, a status event,
text deltas) so that a front end sees every kind of event a real turn
produces. Messages understood:
  "run: <command>" or anything holding "rm -rf": a terminal tool call that
      needs approval when the command is dangerous;
  "wait: <seconds>": a slow tool call (stops at once on interrupt);
  "remember ...": a background memory notice;
  "stream: <n>": a long reply of n numbered deltas, sent quickly
      ("stream: <n> fast": without the short pauses, as fast as it can).
Anything else is echoed back with the time of day from a tool call.
"""
import logging
import threading
import time

from agent import model_client, toolbox

logger = logging.getLogger("standin.agent")

DEFAULT_MODEL = "standin/echo-1"
STREAM_DELAY = 0.02  # seconds between text deltas, so that a stop can land
#: The toolset name that stands for every tool of the engine.
ALL_TOOLSETS = "korvel-cli"
#: Round-trip times (seconds) kept for the benchmark.
ROUND_TRIPS_KEPT = 1000


class AIAgent:
    def __init__(self, model=DEFAULT_MODEL, api_key=None, base_url=None, provider=None,
                 platform=None, session_id=None, session_db=None, quiet_mode=False,
                 enabled_toolsets=None, ephemeral_system_prompt=None, max_iterations=90,
                 providers_allowed=None, providers_ignored=None, providers_order=None,
                 provider_sort=None, provider_require_parameters=False,
                 provider_data_collection=None, reasoning_config=None, service_tier=None,
                 fallback_model=None, request_overrides=None, **extra):
        self.model = model or DEFAULT_MODEL
        self.api_key = api_key
        self.base_url = base_url
        self.provider = provider
        self.platform = platform
        self.session_id = session_id
        self.session_db = session_db
        self.quiet_mode = quiet_mode
        self.enabled_toolsets = list(enabled_toolsets) if enabled_toolsets is not None else None
        self.ephemeral_system_prompt = ephemeral_system_prompt
        self.max_iterations = max_iterations
        self.provider_routing = {
            "only": providers_allowed, "ignore": providers_ignored, "order": providers_order,
            "sort": provider_sort, "require_parameters": provider_require_parameters,
            "data_collection": provider_data_collection,
        }
        self.reasoning_config = reasoning_config
        self.service_tier = service_tier
        self.fallback_model = fallback_model
        self.request_overrides = request_overrides
        self.extra = extra

        self.stream_delta_callback = None
        self.tool_progress_callback = None
        self.thinking_callback = None
        self.reasoning_callback = None
        self.status_callback = None
        self.background_review_callback = None

        self.messages = []  # the conversation, kept between turns
        self.compression_count = 0
        self.stream_delay = STREAM_DELAY
        self._last_flushed_db_idx = 0
        #: Tool round trips, for the benchmark: (when the tool-call answer
        #: ended, seconds the tools themselves took, when the next request
        #: was made), monotonic clock.
        self.round_trips = []
        self._tools_refused = set()  # (base URL, model) that answered "no tools"
        self._interrupt = threading.Event()
        self._interrupt_reason = None
        self._turn_lock = threading.Lock()
        if self.uses_model:  # image descriptions before the first turn use it
            model_client.remember_endpoint(self.api_key, self.base_url, self.model)

    # -- control ----------------------------------------------------------

    def switch_model(self, new_model, new_provider=None, api_key=None, base_url=None):
        if not isinstance(new_model, str) or not new_model.strip():
            raise ValueError(f"invalid model name: {new_model!r}")
        self.model = new_model
        if new_provider is not None:
            self.provider = new_provider
        if api_key is not None:
            self.api_key = api_key
        if base_url is not None:
            self.base_url = base_url

    def interrupt(self, reason=None):
        """Ask the running turn to stop soon. A stop that arrives between turns
        ends the next turn at its first step."""
        self._interrupt_reason = reason
        self._interrupt.set()

    @property
    def uses_model(self):
        """True when turns go to a model endpoint rather than the script."""
        return model_client.is_configured(self.api_key, self.base_url)

    @property
    def is_interrupted(self):
        return self._interrupt.is_set()

    def _compress_context(self, history, *args, **kwargs):
        """Fold all but the last four messages (and the call whose results
        begin them) into one summary message: the model's summary when a
        model is configured, else a line of each message's start."""
        history = list(history)
        if len(history) <= 4:
            return history
        cut = len(history) - 4
        while cut > 0 and history[cut].get("role") == "tool":
            cut -= 1  # a call stays with its results
        older, recent = history[:cut], history[cut:]
        if not older:
            return history
        written = None
        if self.uses_model:
            written = model_client.summarize(self.api_key, self.base_url, self.model, older)
        if written is not None:
            summary = {"role": "user", "content": f"[Summary of {len(older)} earlier messages, "
                                                  f"written by {self.model}:\n{written}]"}
        else:
            summary = {"role": "user", "content": f"[Summary of {len(older)} earlier messages: "
                       + " | ".join(str(m.get("content", ""))[:40] for m in older) + "]"}
        self.messages = [summary] + recent
        self.compression_count += 1
        self._emit_status("context.compressed",
                          f"Compressed {len(history)} messages to {len(self.messages)}")
        return self.messages

    # -- callbacks --------------------------------------------------------

    def _call(self, name, *args, **kwargs):
        cb = getattr(self, name, None)
        if cb is not None:
            cb(*args, **kwargs)

    def _emit_status(self, event, message):
        self._call("status_callback", event, message)

    def _stopped(self):
        return self._interrupt.is_set()

    def _stream(self, text):
        """Stream `text` in word-sized deltas; the part sent before a stop."""
        sent = []
        words = text.split(" ")
        for i, word in enumerate(words):
            if self._stopped():
                break
            delta = word if i == len(words) - 1 else word + " "
            self._call("stream_delta_callback", delta)
            sent.append(delta)
            time.sleep(self.stream_delay)
        return "".join(sent)

    def _tool(self, name, preview, args, body):
        self._call("tool_progress_callback", "tool.started", name, preview, args)
        started = time.monotonic()
        is_error = False
        try:
            result = body()
        except Exception as exc:  # a tool failure is reported, not raised
            is_error = True
            result = f"error: {exc}"
        self._call("tool_progress_callback", "tool.completed", name, preview, None,
                   duration=time.monotonic() - started, is_error=is_error)
        return result

    # -- a turn -----------------------------------------------------------

    def run_conversation(self, user_message, conversation_history=None, image_paths=None, user_text=None,
                         **kwargs):
        """One turn. ``image_paths`` are the images attached to the message
        (already described in ``user_message``, in front of ``user_text``,
        the message without those descriptions): a model that takes images
        gets them as images instead."""
        if not isinstance(user_message, str):
            raise TypeError("user_message must be str")
        attached = None
        if image_paths:
            if not isinstance(image_paths, (list, tuple)) or not all(isinstance(p, str) for p in image_paths):
                raise TypeError("image_paths must be a list of str")
            if not isinstance(user_text, str):
                raise TypeError("user_text must be str when images are attached")
            attached = (list(image_paths), user_text)
        with self._turn_lock:
            try:
                return self._run(user_message, conversation_history, attached)
            finally:
                self._interrupt.clear()
                self._interrupt_reason = None

    def _run(self, user_message, conversation_history, attached=None):
        if conversation_history is not None:
            self.messages = list(conversation_history)
        messages = self.messages
        messages.append({"role": "user", "content": user_message})
        db = self.session_db
        if db is not None and self.session_id:
            if hasattr(db, "create_session"):
                db.create_session(self.session_id, source=self.platform, model=self.model)
            db.append_message(self.session_id, "user", user_message)
        if self.uses_model:
            return self._run_model(user_message, messages, attached)
        return self._run_script(user_message, messages)

    def _finish(self, messages, final, interrupted, api_calls=1, error=None, stored=..., reasoning=None):
        """Store the reply and build the turn's result. ``final`` is all the
        text of the turn; ``stored`` the last answer's own part of it (what is
        kept as the closing assistant message; None: nothing is kept), with
        the ``reasoning`` that came with it beside it. A reply cut by a stop
        keeps what had arrived; that it was cut is kept beside it, as data."""
        stored = final if stored is ... else stored
        if stored is not None:
            message = {"role": "assistant", "content": stored}
            meta = {}
            if reasoning:
                meta["reasoning"] = reasoning
            if interrupted:
                meta["interrupted"] = True
            if meta:
                message["meta"] = meta
            messages.append(message)
            self._store(message)
        result = {"final_response": final, "messages": list(messages),
                  "interrupted": interrupted, "completed": not interrupted and error is None,
                  "api_calls": api_calls, "model": self.model}
        if interrupted:
            result["interrupt_reason"] = self._interrupt_reason
        if error is not None:
            result["error"] = error
        return result

    def _run_script(self, user_message, messages):
        model_client.remember_endpoint("", None, self.model)  # titles from the words, too
        # No model writes a scripted reply: the configured one is not named.
        self._emit_status("lifecycle", "Thinking (stand-in, scripted)")
        self._call("thinking_callback", "pondering…")
        reasoning = f"The user wrote {len(user_message)} characters; choosing a tool."
        for part in (reasoning[:20], reasoning[20:]):
            if part and not self._stopped():
                self._call("reasoning_callback", part)
        self._call("tool_progress_callback", "reasoning.available", "_thinking", reasoning, None)

        text = user_message.strip()
        if text.lower().startswith("run:") or "rm -rf" in text:
            command = text[4:].strip() if text.lower().startswith("run:") else text
            reply = self._terminal(command)
        elif text.lower().startswith("wait:"):
            reply = self._wait(text[5:].strip())
        elif text.lower().startswith("stream:"):
            reply = None
            streamed = self._stream_many(text[7:].strip())
        else:
            now = self._tool("get_time", "clock", {}, lambda: time.strftime("%H:%M:%S"))
            reply = f"You said: {user_message} (it is {now} here)."
        if "remember" in text.lower():
            self._call("background_review_callback", "💾 Memory updated")

        if reply is not None:
            streamed = "" if self._stopped() else self._stream(reply)
        interrupted = self._stopped()
        return self._finish(messages, streamed, interrupted, reasoning=reasoning)

    # -- a turn with a model ------------------------------------------------

    def _offered_tools(self):
        """The tool specs this agent offers: all of them for the default
        toolset ("korvel-cli"), else those of the enabled toolsets."""
        from tools.registry import registry

        sets = self.enabled_toolsets
        if sets is None or ALL_TOOLSETS in sets:
            return list(toolbox.SPECS)
        return [spec for spec in toolbox.SPECS
                if registry.get_toolset_for_tool(spec["function"]["name"]) in sets]

    def _system_prompt(self, tools):
        """The profile's system prompt, and where the tools work when the
        model gets tools."""
        if not tools:
            return self.ephemeral_system_prompt
        note = toolbox.context_note()
        return f"{self.ephemeral_system_prompt}\n\n{note}" if self.ephemeral_system_prompt else note

    def _wire(self, user_message, messages, tools, attached=None):
        """The request messages of this turn: the conversation, with this
        message's attached images as image parts when the model takes images."""
        wire = model_client.conversation(messages[:-1], self._system_prompt(tools))
        content = user_message
        if attached and model_client.model_takes_images(self.api_key, self.base_url, self.model):
            content = model_client.with_image_parts(*attached) or user_message
        wire.append({"role": "user", "content": content})
        return wire

    def _body(self, wire, tools):
        return model_client.request_body(
            self.model, wire, base_url=self.base_url, provider_routing=self.provider_routing,
            reasoning_config=self.reasoning_config, service_tier=self.service_tier,
            fallback_model=self.fallback_model, request_overrides=self.request_overrides,
            tools=tools)

    def _store(self, message):
        db = self.session_db
        if db is not None and self.session_id:
            db.append_message(self.session_id, message["role"], message.get("content"),
                              tool_name=message.get("tool_name"),
                              tool_calls=message.get("tool_calls"),
                              tool_call_id=message.get("tool_call_id"), meta=message.get("meta"))

    def _run_model(self, user_message, messages, attached=None):
        host = model_client.host_of(self.base_url)
        model_client.remember_endpoint(self.api_key, self.base_url, self.model)
        if self._stopped():
            return self._finish(messages, "", True, api_calls=0)
        tools = [] if (self.base_url, self.model) in self._tools_refused else self._offered_tools()
        wire = self._wire(user_message, messages, tools, attached)
        cap = max(1, int(self.max_iterations or 1))
        shown = []      # every piece of text the user saw this turn
        api_calls = 0
        answer_ended = None  # when the last tool-call answer ended (round-trip timing)
        tool_seconds = 0.0

        new_answer = [False]  # the next text starts a paragraph of its own

        def on_text(delta):
            if new_answer[0]:
                new_answer[0] = False
                shown.append("\n\n")
                self._call("stream_delta_callback", "\n\n")
            shown.append(delta)
            self._call("stream_delta_callback", delta)

        def on_retry(exc, pause):
            self._emit_status("retry", f"{model_client.describe_failure(exc, self.base_url, self.model)}"
                                       f" Retrying in {pause:g} s.")

        def failed(text, error):
            # The failure is the turn's error record, not part of the reply:
            # what the model had written before it is kept as it is.
            logger.warning("Model request to %s (%s) failed: %s", host, self.model, error["message"])
            self._emit_status("error", error["message"])
            return self._finish(messages, "".join(shown), False, api_calls=api_calls,
                                error=error, stored=text or None)

        while True:
            if api_calls >= cap:
                note = (f"I stopped here: this turn reached its limit of {cap} model calls "
                        "(max_iterations). Send a message to let me go on.")
                self._emit_status("iteration_limit", f"Reached the limit of {cap} model calls")
                if shown:
                    note = "\n\n" + note
                self._call("stream_delta_callback", note)
                return self._finish(messages, "".join(shown) + note, False, api_calls=api_calls,
                                    stored=note.strip())
            self._emit_status("lifecycle", f"Asking {self.model} at {host}")
            new_answer[0] = bool(shown)
            if answer_ended is not None:
                self.round_trips.append((answer_ended, tool_seconds, time.monotonic()))
                del self.round_trips[:-ROUND_TRIPS_KEPT]
            before = len(shown)
            api_calls += 1
            try:
                answer = model_client.stream_chat(
                    lambda: model_client.make_client(self.api_key, self.base_url),
                    self._body(wire, tools), self._interrupt, on_text,
                    lambda t: self._call("reasoning_callback", t), on_retry=on_retry)
            except model_client.Stopped:
                partial = "".join(shown).strip()
                own = "".join(shown[before:]).strip()
                return self._finish(messages, partial, True, api_calls=api_calls, stored=own)
            except model_client.StreamCut as cut:
                return failed(cut.text, {"message": f"The answer from {host} broke off: {cut}", "kind": "cut"})
            except Exception as exc:
                if tools and model_client.refuses_tools(exc):
                    logger.warning("%s at %s takes no tools; asking again without them",
                                   self.model, host)
                    self._emit_status("warning", f"{self.model} does not take tools here; "
                                                 "it answers without them")
                    tools = []
                    self._tools_refused.add((self.base_url, self.model))
                    if wire and wire[0].get("role") == "system":
                        wire[0]["content"] = self._system_prompt(tools)
                        if not wire[0]["content"]:
                            del wire[0]
                    api_calls -= 1
                    continue
                return failed("", model_client.failure(exc, self.base_url, self.model))
            text, reasoning, finish = answer
            if reasoning:
                self._call("tool_progress_callback", "reasoning.available", "_thinking", reasoning, None)
            calls = answer.tool_calls
            if not calls:
                if finish == "length":
                    note = "[the answer reached the model's length limit]"
                    self._call("stream_delta_callback", f"\n\n{note}")
                    shown.append(f"\n\n{note}")
                    text = f"{text}\n\n{note}" if text else note
                return self._finish(messages, "".join(shown), False, api_calls=api_calls, stored=text,
                                    reasoning=reasoning)
            answer_ended = answer.ended_at
            tool_seconds = 0.0
            request_calls = [{"id": c["id"], "type": "function",
                              "function": {"name": c["name"], "arguments": c["arguments"]}}
                             for c in calls]
            said = {"role": "assistant", "content": text or None, "tool_calls": request_calls}
            if reasoning:
                said["meta"] = {"reasoning": reasoning}
            messages.append(said)
            wire.append({"role": "assistant", "content": text or None, "tool_calls": request_calls})
            self._store(said)
            for call in calls:
                if self._stopped():
                    result = self._not_run(call)
                else:
                    result, seconds = self._tool_call(call)
                    tool_seconds += seconds
                messages.append(result)
                wire.append({"role": "tool", "tool_call_id": call["id"], "content": result["content"]})
                self._store(result)
            if self._stopped():
                partial = "".join(shown).strip()
                return self._finish(messages, partial, True, api_calls=api_calls, stored="")

    def _not_run(self, call):
        return {"role": "tool", "tool_call_id": call["id"], "tool_name": call["name"],
                "content": "Not run: the user stopped the turn first.",
                "meta": {"status": "stopped", "summary": "not run", "preview": call["name"]}}

    def _tool_call(self, call):
        """Run one tool call with its progress records; (the tool message, the
        seconds the tool itself took)."""
        name = call["name"]
        args, problem = toolbox.parse_arguments(name, call["arguments"])
        preview = toolbox.preview_of(name, args) if args is not None else (name or "?")
        started = time.monotonic()
        self._emit_status("lifecycle", f"Running {name or 'a tool'}")
        self._call("tool_progress_callback", "tool.started", name, preview,
                   toolbox.shown_args(name, args))
        if problem is not None:
            outcome = problem
        else:
            try:
                outcome = toolbox.run(name, args, self._interrupt,
                                      lambda text: self._emit_status("tool.output", text))
            except Exception as exc:  # a tool's own fault is the model's to hear, not the turn's end
                logger.exception("Tool %s failed", name)
                outcome = toolbox.Outcome(f"error: {type(exc).__name__}: {exc}", True, "error",
                                          "failed")
        seconds = time.monotonic() - started
        self._emit_status("tool.result", outcome.summary or outcome.status)
        self._call("tool_progress_callback", "tool.completed", name, preview, None,
                   duration=seconds, is_error=outcome.is_error)
        from tools.registry import registry

        meta = {"status": outcome.status, "summary": outcome.summary, "preview": preview,
                "duration": round(seconds, 3), "emoji": registry.get_emoji(name)}
        if outcome.exit_code is not None:
            meta["exit_code"] = outcome.exit_code
        return ({"role": "tool", "tool_call_id": call["id"], "tool_name": name,
                 "content": outcome.content, "meta": meta}, seconds)

    def _stream_many(self, count_text):
        """Deltas "0 ", "1 ", ... as fast as a stop still lands between them."""
        words = count_text.split()
        pause = 0.0 if words[1:2] == ["fast"] else 0.001
        try:
            count = max(0, min(1_000_000, int(words[0])))
        except (ValueError, IndexError):
            count = 100
        sent = []
        for i in range(count):
            if self._stopped():
                break
            delta = f"{i} "
            self._call("stream_delta_callback", delta)
            sent.append(delta)
            if i % 10 == 9:
                time.sleep(pause)
        return "".join(sent)

    def _terminal(self, command):
        from tools import approval

        def body():
            verdict = approval.check_dangerous_command(command, cancel=self._interrupt)
            if verdict["approved"]:
                return ("ran", verdict)
            return ("denied", verdict)

        outcome, verdict = self._tool("terminal", command[:80], {"command": command}, body)
        if outcome == "ran":
            return (f"The command `{command}` was allowed and ran (the stand-in engine "
                    "only pretends to run commands).")
        return f"The command `{command}` was denied and did not run ({verdict['message']})."

    def _wait(self, seconds_text):
        try:
            seconds = max(0.0, float(seconds_text))
        except ValueError:
            seconds = 1.0

        def body():
            self._interrupt.wait(seconds)
            return "stopped" if self._stopped() else "done"

        outcome = self._tool("sleep", f"{seconds:g}s", {"seconds": seconds}, body)
        return f"Waited {seconds:g} seconds ({outcome})."
