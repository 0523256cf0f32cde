"""Just enough engine for the pool to load; tests bind their own SessionDB."""


class SessionDB:
    def __init__(self, *, db_path):
        self.db_path = db_path
