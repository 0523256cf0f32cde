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
