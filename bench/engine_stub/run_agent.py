"""Bench engine: the agent object, which only keeps what it is given."""


class AIAgent:
    def __init__(self, model=None, **kwargs):
        self.model = model
        for key, value in kwargs.items():
            setattr(self, key, value)

    def switch_model(self, new_model, new_provider=None, api_key=None, base_url=None):
        self.model = new_model
        self.provider = new_provider

    def interrupt(self, reason=None):
        self.interrupted = reason

    def _compress_context(self, history):
        return history
