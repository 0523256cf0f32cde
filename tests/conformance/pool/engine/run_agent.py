"""Engine stand-in for loading the pool; tests bind their own agent class."""


class AIAgent:
    def __init__(self, **kwargs):
        self.kwargs = kwargs
