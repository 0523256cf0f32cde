"""Minimal session store for the pool's unit tests."""


class SessionDB:
    def __init__(self, *, db_path):
        self.db_path = db_path
        self.titles = {}
        self.conversations = {}

    def get_messages_as_conversation(self, session_id):
        return self.conversations.get(session_id, [])

    def get_session_title(self, session_id):
        return self.titles.get(session_id, "")

    def set_session_title(self, session_id, title):
        self.titles[session_id] = title
