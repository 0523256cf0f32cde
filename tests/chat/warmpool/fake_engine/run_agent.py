"""Minimal engine agent for the pool's unit tests: records what it is given."""


class AIAgent:
    instances = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.model = kwargs.get("model")
        self.session_id = kwargs.get("session_id")
        self.switches = []
        self.fail_switch = False
        AIAgent.instances.append(self)

    def switch_model(self, *, new_model, new_provider, api_key, base_url):
        if self.fail_switch:
            raise RuntimeError("switch refused")
        self.switches.append(
            dict(new_model=new_model, new_provider=new_provider, api_key=api_key, base_url=base_url)
        )
        self.model = new_model
