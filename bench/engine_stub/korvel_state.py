"""Bench engine: a session store that opens nothing."""


class SessionDB:
    def __init__(self, db_path=None):
        self.db_path = db_path

    def get_messages_as_conversation(self, session_id):
        return []

    def get_session_title(self, session_id):
        return ""

    def set_session_title(self, session_id, title):
        return None
