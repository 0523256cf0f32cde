"""Engine stand-in for loading the pool; tests bind their own store class."""


class SessionDB:
    def __init__(self, *, db_path):
        self.db_path = db_path
