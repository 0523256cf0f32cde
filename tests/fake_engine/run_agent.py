"""Just enough engine for the pool to load; tests bind their own AIAgent."""


class AIAgent:
    def __init__(self, **kwargs):
        self.kwargs = kwargs
