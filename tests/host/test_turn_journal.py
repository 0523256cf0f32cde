"""The turn journal and the history it gives, without a server."""
import sqlite3

from dashboard.journal import Journal, digest, user_history

NOTE = ("[Note: model was just switched from a/b to c/d. You are now c/d. "
        "Adjust your self-identification accordingly.]")
IMAGE = ("[The user sent an image~ Here's what I can see:\nA cat ] on a mat]\n[If you need a closer look, "
         "use vision_analyze with image_url: /h/.korvel/uploads/upload_0123456789.png ~]")


def test_the_history_shows_the_users_words_and_marks_turns_that_did_not_finish(tmp_path):
    journal = Journal(tmp_path)
    sent = {}
    for turn, message, images, engine_text, status in [
        ("t1", "look", ["upload_0123456789.png"], f"{IMAGE}\n\nlook", "done"),
        ("t2", "who are you?", [], f"{NOTE}\n\nwho are you?", "stopped"),
        ("t3", "cut by a crash", [], "cut by a crash", "interrupted"),
        ("t4", "never reached the engine", [], None, "interrupted"),
        ("t5", "running now", [], "running now", None),
        ("t6", "waiting", [], None, None),
    ]:
        journal.accept(turn, "s1", message, images, [])
        if status or engine_text:
            journal.started(turn)
        if engine_text:
            journal.sent(turn, engine_text)
            sent[turn] = engine_text
        if status:
            journal.ended(turn, status)
    stored = [
        {"role": "user", "content": f"{NOTE}\n\nfrom before the journal"}, {"role": "assistant", "content": "old"},
        {"role": "user", "content": sent["t1"]}, {"role": "assistant", "content": "a cat"},
        {"role": "user", "content": sent["t2"]}, {"role": "assistant", "content": "I am [interrupted]"},
        {"role": "user", "content": sent["t3"]},
        {"role": "user", "content": sent["t5"]}, {"role": "assistant", "content": "partial"},
    ]
    def words(content):  # the bridge's split, for messages the journal does not know
        asked.append(content)
        return content.rsplit("\n\n", 1)[-1], ["upload_x.png"]

    asked = []
    shown = [(m["role"], m["content"], m.get("turn"), m.get("images"), m.get("status"))
             for m in user_history(stored, journal.of_session("s1"), running="t5", words=words)]
    assert asked == [f"{NOTE}\n\nfrom before the journal"]
    assert shown == [
        ("user", "from before the journal", None, ["upload_x.png"], None), ("assistant", "old", None, None, None),
        ("user", "look", "t1", ["upload_0123456789.png"], None), ("assistant", "a cat", "t1", None, None),
        ("user", "who are you?", "t2", [], "stopped"), ("assistant", "I am [interrupted]", "t2", None, "stopped"),
        ("user", "cut by a crash", "t3", [], "interrupted"), ("assistant", "", "t3", None, "interrupted"),
        ("user", "never reached the engine", "t4", [], "interrupted"),
        ("assistant", "", "t4", None, "interrupted"),
    ]
    assert [t["turn_id"] for t in journal.in_state("queued")] == ["t6"]
    journal.forget(["t6", "t1"])  # only a waiting message can be taken back
    assert [t["turn_id"] for t in journal.of_session("s1")] == ["t1", "t2", "t3", "t4", "t5"]
    # A finished turn missing from the engine's store is not brought back.
    assert user_history([], journal.of_session("s1"), running=None, words=words)[0]["turn"] == "t2"
    journal.close()
    # Reopened (a restart): the rows are all there.
    again = Journal(tmp_path)
    assert [t["turn_id"] for t in again.in_state("running")] == ["t5"]
    assert again.of_session("s1")[0]["digest"] == digest(sent["t1"])
    assert again.forget_session("s1") == 4 and [t["turn_id"] for t in again.of_session("s1")] == ["t5"]
    again.close()


def test_a_turn_end_that_cannot_be_written_is_written_with_the_next_write(tmp_path):
    journal = Journal(tmp_path)
    journal.accept("t1", "s", "first", [], [])
    journal.started("t1")
    disk = journal._db

    class Full:
        def execute(self, sql, args=()):
            raise sqlite3.OperationalError("database or disk is full")
    journal._db = Full()
    assert journal.ended("t1", "done") is False      # told, not raised
    journal._db = disk
    assert [r["turn_id"] for r in journal.in_state("running")] == ["t1"]
    journal.accept("t2", "s", "second", [], [])       # the next write takes it along
    assert [(r["turn_id"], r["state"]) for r in journal.of_session("s")] == [("t1", "done"), ("t2", "queued")]
    assert journal.catch_up() is True
    journal.close()
