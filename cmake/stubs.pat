# Signatures for operations defined as plain CPython methods (fast-call entry
# points), whose text signatures cannot carry types. Queried by the stub
# generator with each object's full dotted name.

bridge\.Chat\.holdqueue\.enqueue_message$:
    def enqueue_message(session_id: str, message: str) -> int:
        \doc

bridge\.Chat\.holdqueue\.dequeue_message$:
    def dequeue_message(session_id: str) -> str | None:
        \doc

bridge\.Chat\.holdqueue\.has_pending$:
    def has_pending(session_id: str) -> bool:
        \doc

bridge\.Chat\.holdqueue\.pending_count$:
    def pending_count(session_id: str) -> int:
        \doc

bridge\.Chat\.holdqueue\.clear_pending$:
    def clear_pending(session_id: str) -> int:
        \doc

bridge\.Chat\.warmpool\._threadsafe_put$:
    def _threadsafe_put(q: object, loop: object, item: object) -> None:
        \doc

bridge\.Chat\.warmpool\._push_to_subscribers$:
    def _push_to_subscribers(session_id: str, item: object) -> None:
        \doc

bridge\.Chat\.warmpool\.subscribe_to_stream$:
    def subscribe_to_stream(session_id: str, q: object, loop: object) -> tuple:
        \doc

bridge\.Chat\.warmpool\.unsubscribe_from_stream$:
    def unsubscribe_from_stream(session_id: str, sub: tuple) -> None:
        \doc

bridge\.Chat\.warmpool\.push_stream_delta$:
    def push_stream_delta(session_id: str, raw_delta: str | None) -> None:
        \doc

bridge\.Chat\.warmpool\.push_stream_event$:
    def push_stream_event(session_id: str, event: dict) -> None:
        \doc

bridge\.Chat\.warmpool\.signal_stream_done$:
    def signal_stream_done(session_id: str) -> None:
        \doc

bridge\.Chat\.warmpool\.get_agent$:
    def get_agent(session_id: str, streaming_session_id: str | None = None) -> tuple[object, dict]:
        \doc

bridge\.Chat\.warmpool\.pop_pending_model_note$:
    def pop_pending_model_note(session_id: str) -> str | None:
        \doc

bridge\.Chat\.interrupt\.register_running_agent$:
    def register_running_agent(session_id: str, agent: object) -> None:
        \doc

bridge\.Chat\.interrupt\.unregister_running_agent$:
    def unregister_running_agent(session_id: str) -> None:
        \doc

bridge\.Chat\.interrupt\.is_agent_running$:
    def is_agent_running(session_id: str) -> bool:
        \doc
