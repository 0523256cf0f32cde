"""The turn runner's steps (begin, prepare, run, finish) and its queue,
against fake chat modules: what each step hands on and leaves behind."""
import threading

import pytest

from dashboard import turns
from dashboard.journal import Journal
from dashboard.turns import Outcome, Turn, TurnRunner


class Pool:
    def __init__(self, home):
        self.home = home
        self.events = []
        self.streams_used = set()
        self.done = 0
        self.note = None
        self.history = [{"role": "user", "content": "before"}]
        self.tasks_lock = threading.Lock()
        self.running_tasks = {}
        self.titled = []
        self.agent = Agent()
        self.lock = threading.Lock()
        self.agent_cache = {"s1": (self.agent, None)}  # warm already: nothing to let go
        self.agent_cache_lock = threading.Lock()

    def get_active_profile(self):
        return "default"

    def get_profile_home(self, name=None):
        return str(self.home)

    def get_config_model(self):
        return "m/one"

    def get_session_lock(self, session_id):
        return self.lock

    def get_agent(self, session_id, streaming_session_id=None):
        self.agent.stream = streaming_session_id
        return self.agent, None  # the runner wires approvals itself

    def pop_pending_model_note(self, session_id):
        note, self.note = self.note, None
        return note

    def get_conversation_history(self, session_id):
        return list(self.history)

    def push_stream_event(self, session_id, record):
        self.events.append((record["type"], record["data"]))
        self.streams_used.add(session_id)

    def trigger_auto_title(self, session_id, message, response, history):
        self.titled.append((message, response))


class Agent:
    def __init__(self):
        self.result = {"final_response": "fine", "interrupted": False}
        self.got = None

    def run_conversation(self, text, conversation_history=None, image_paths=None, user_text=None):
        self.got = (text, conversation_history)
        self.images = (image_paths, user_text)
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class Engine:
    kind = "installed"

    def __init__(self, home):
        self.warmpool = Pool(home)
        self.compressed = False
        self.registered = []
        engine = self

        class Interrupt:
            def register_running_agent(self, sid, agent):
                engine.registered.append(("register", sid))

            def unregister_running_agent(self, sid):
                engine.registered.append(("unregister", sid))

            def interrupt_agent(self, sid, reason="User cancelled"):
                engine.registered.append(("interrupt", sid))
                return True

            def is_agent_running(self, sid):
                return False

        class Picdrop:
            def enrich_message_with_images(self, text, paths):
                return f"[{len(paths)} image(s)]\n\n{text}"

        class Consentgate:
            def wire_approval_for_session(self, session_id, push):
                # What the engine's approval request becomes: pushed through ``push``.
                engine.approval_push = lambda record: push(session_id, record)
                return {"setup": lambda: engine.warmpool.events.append(("setup", None)),
                        "teardown": lambda: engine.warmpool.events.append(("teardown", None))}

        class Compression:
            def maybe_compress_session(self, agent, history):
                return engine.compressed

        self.interrupt, self.picdrop, self.compression = Interrupt(), Picdrop(), Compression()
        self.consentgate = Consentgate()
        self.holdqueue = Holdqueue()


class Holdqueue:
    """The bridge's pending-message queue, as a list per session."""

    def __init__(self):
        self.q = {}

    def enqueue_message(self, sid, message):
        self.q.setdefault(sid, []).append(message)
        return len(self.q[sid])

    def dequeue_message(self, sid):
        return self.q[sid].pop(0) if self.q.get(sid) else None

    def pending_count(self, sid):
        return len(self.q.get(sid, ()))

    def clear_pending(self, sid):
        return len(self.q.pop(sid, ()))


class Streams:
    """The host's stream hub: its own records are kept with the pool's events."""

    def __init__(self, pool):
        self.pool = pool
        self.turns = {}  # turn -> its stream while it runs

    def post(self, session_id, record):
        self.pool.events.append((record["type"], record["data"]))

    def activate(self, session_id):
        pass

    def deactivate(self, session_id):
        pass

    def open_turn(self, session_id, turn_id):
        self.turns[turn_id] = f"{session_id}/{turn_id}"
        return self.turns[turn_id]

    def close_turn(self, turn_id):
        if self.turns.pop(turn_id, None):
            self.pool.done += 1


@pytest.fixture
def runner(tmp_path):
    engine = Engine(tmp_path)
    runner = TurnRunner(engine, Streams(engine.warmpool), max_turns=2)
    yield runner
    runner.journals.close()


def accepted(runner, message="hello", paths=(), client_id="c1"):
    journal = runner.journals.get(runner.engine.warmpool.home)
    turn = Turn(turns.new_turn_id(), "s1", message, [p.rsplit("/", 1)[-1] for p in paths], list(paths),
                "default", journal, client_id=client_id)
    journal.accept(turn.turn_id, "s1", message, turn.images, turn.paths, client_id)
    return turn


def test_begin_announces_the_turn_with_its_sender_and_model(runner):
    turn = accepted(runner)
    task = runner.begin(turn)
    (kind, data), = runner.engine.warmpool.events
    assert kind == "turn_started"
    assert (data["turn_id"], data["client_id"], data["model"], data["task_id"]) == (turn.turn_id, "c1", "m/one", task)
    assert runner.engine.warmpool.running_tasks[task]["status"] == "running"
    row, = turn.journal.of_session("s1")
    assert (row["state"], row["model"], row["client_id"]) == ("running", "m/one", "c1")


def test_prepare_puts_the_note_and_images_in_front_and_keeps_a_compressed_context(runner):
    pool = runner.engine.warmpool
    pool.note = "[Note: switched]"
    turn = accepted(runner, "look", paths=["/u/upload_a.png"])
    prepared = runner.prepare(turn)
    assert prepared.text == "[1 image(s)]\n\n[Note: switched]\n\nlook"
    assert prepared.history == pool.history and prepared.agent is pool.agent
    # The agent and its approvals report to the turn's own stream; an engine
    # that takes images gets them as data beside the described text.
    stream = runner.streams.turns[turn.turn_id]
    assert pool.agent.stream == stream
    runner.engine.approval_push({"type": "approval_required", "data": {}})
    assert pool.streams_used == {stream}
    assert prepared.engine_arguments() == {"conversation_history": pool.history,
                                           "image_paths": ["/u/upload_a.png"],
                                           "user_text": "[Note: switched]\n\nlook"}
    pool.agent.run_conversation = lambda text, conversation_history=None, **kw: None
    assert prepared.engine_arguments() == {"conversation_history": pool.history}
    runner.engine.compressed = True
    assert runner.prepare(accepted(runner)).history is None


@pytest.mark.parametrize("result, stopping, status, error", [
    ({"final_response": "ok"}, False, "done", None),
    ("plain text", False, "done", None),
    ({"final_response": "part", "interrupted": True}, True, "stopped", None),
    ({"final_response": "part", "interrupted": True}, False, "interrupted", None),
    ({"final_response": "", "error": {"message": "429", "kind": "rate_limit", "retry_after": 7}}, False,
     "error", {"message": "429", "kind": "rate_limit", "retry_after": 7.0}),
    ({"final_response": "", "error": "boom"}, False, "error", {"message": "boom", "kind": "other"}),
    ({"final_response": "", "error": {"message": "x", "kind": "strange"}}, False, "error",
     {"message": "x", "kind": "other"}),
])
def test_run_reads_how_the_turn_ended(runner, result, stopping, status, error):
    turn = accepted(runner)
    runner.engine.warmpool.agent.result = result
    if stopping:
        runner._stopping.add(turn.turn_id)
    outcome = runner.run(turn, runner.prepare(turn))
    assert (outcome.status, outcome.error) == (status, error)
    assert outcome.titled == (status != "error")
    # Registered for a stop only while it ran, inside its approval context.
    assert runner.engine.registered[0] == ("register", "s1") and runner.engine.registered[-1] == ("unregister", "s1")
    assert [k for k, _ in runner.engine.warmpool.events] == ["setup", "teardown"]


def test_finish_ends_the_turn_everywhere_once(runner):
    turn = accepted(runner)
    task = runner.begin(turn)
    runner._running["s1"] = turn
    runner.prepare(turn)
    runner.finish(turn, Outcome("error", "429", "", {"message": "429", "kind": "rate_limit"}), task)
    pool = runner.engine.warmpool
    kind, data = pool.events[-1]
    assert kind == "turn_ended" and data["status"] == "error" and data["error"]["kind"] == "rate_limit"
    # Its stream ended and let go.
    assert data["client_id"] == "c1" and pool.done == 1 and runner.streams.turns == {}
    assert pool.running_tasks[task]["status"] == "error" and "s1" not in runner._running
    row, = turn.journal.of_session("s1")
    assert (row["state"], row["error"]) == ("error", {"message": "429", "kind": "rate_limit"})


def test_a_failing_engine_ends_the_turn_as_an_error_without_a_title(runner):
    turn = accepted(runner)
    runner.engine.warmpool.agent.result = RuntimeError("engine broke")
    runner.run_turn(turn)
    pool = runner.engine.warmpool
    kinds = [k for k, _ in pool.events]
    assert kinds[0] == "turn_started" and "error" in kinds and kinds[-1] == "turn_ended"
    assert pool.events[-1][1]["error"] == {"message": "RuntimeError: engine broke", "kind": "other"}
    assert pool.titled == [] and runner.engine.registered[-1] == ("unregister", "s1")
    runner.engine.warmpool.agent.result = {"final_response": "fine"}
    runner.run_turn(accepted(runner, "again"))
    assert pool.titled == [("again", "fine")]


def test_one_queue_of_turns_feeds_the_bridges_queue_in_order(runner):
    from starlette.exceptions import HTTPException

    pool, holdqueue = runner.engine.warmpool, runner.engine.holdqueue
    running = accepted(runner, "running")
    runner._chains["s1"] = threading.current_thread()  # the session is busy
    runner._running["s1"] = running
    answers = [runner._schedule(accepted(runner, text)) for text in ("a", "b", "c")]
    assert [(a["status"], a["position"], a["client_id"]) for a in answers] == [
        ("queued", 1, "c1"), ("queued", 2, "c1"), ("queued", 3, "c1")]
    assert holdqueue.q["s1"] == ["a", "b", "c"]
    assert runner.status("s1")["pending"] == 3
    busy = [d for k, d in pool.events if k == "busy"]
    assert [(d["message"], d["position"], d["model"]) for d in busy] == [("a", 1, "m/one"), ("b", 2, "m/one"),
                                                                          ("c", 3, "m/one")]
    # Cancelling one feeds the bridge's queue again from ours.
    assert runner.cancel("s1", answers[1]["turn_id"]) == {"cancelled": answers[1]["turn_id"]}
    assert holdqueue.q["s1"] == ["a", "c"]
    assert [q["message"] for q in pool.events[-1][1]["queue"]] == ["a", "c"]
    with pytest.raises(HTTPException) as refused:
        runner.cancel("s1", answers[1]["turn_id"])
    assert refused.value.status_code == 404
    with pytest.raises(HTTPException) as refused:
        runner.cancel("s1", running.turn_id)
    assert refused.value.status_code == 409
    rows = {r["turn_id"]: r["state"] for r in running.journal.of_session("s1")}
    assert rows[answers[1]["turn_id"]] == "cancelled"
    # The next turns come off our queue, and off the bridge's with them.
    with runner._lock:
        first, second, third = runner._next("s1"), runner._next("s1"), runner._next("s1")
    assert [first.message, second.message, third] == ["a", "c", None]
    assert holdqueue.pending_count("s1") == 0 and runner.status("s1")["pending"] == 0
