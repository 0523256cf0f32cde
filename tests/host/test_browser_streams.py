"""The page rebuilt from the server: reloads, new tabs, several tabs on one
session, queued messages and a host restart, in a real browser."""
import time

import pytest

from host_wire import make_png, start_server
from test_browser import (PHONE, browser, expect, last_reply, open_page,  # noqa: F401
                          pytestmark, send, shot, wait_idle)

expect.set_options(timeout=15_000)


def conversation(page):
    """The messages as a person reads them, top to bottom: (who, text)."""
    return page.evaluate("""[...document.querySelectorAll('#messages .msg')].map(n => [
        n.classList.contains('user') ? 'user' : 'agent',
        (n.classList.contains('user') ? n.querySelector('.text').firstChild.textContent
                                      : n.querySelector('.reply').textContent).trim()])""")


def session_url(server, page):
    assert "?s=" in page.url, page.url
    return page.url


def test_reply_stays_under_its_question_after_the_tab_was_closed(browser, server):
    page = open_page(browser, server.url)
    send(page, "wait: 3")
    expect(page.locator(".tool-line.running")).to_contain_text("sleep")
    url = session_url(server, page)
    page.context.close()
    time.sleep(4)

    page = open_page(browser, url)
    expect(page.locator(".msg.assistant .reply").first).to_have_text("Waited 3 seconds (done).")
    send(page, "a brand new question")
    expect(last_reply(page)).to_contain_text("You said: a brand new question")
    wait_idle(page)
    convo = conversation(page)
    assert convo[0] == ["user", "wait: 3"] and convo[1] == ["agent", "Waited 3 seconds (done)."]
    assert convo[2] == ["user", "a brand new question"]
    assert convo[3][0] == "agent" and convo[3][1].startswith("You said: a brand new question")
    assert len(convo) == 4
    page.context.close()


def test_pending_approval_survives_reload_and_answers_from_a_new_tab(browser, server):
    page = open_page(browser, server.url)
    send(page, "run: rm -rf /tmp/pending")
    expect(page.locator(".approval")).to_be_visible()
    url = session_url(server, page)
    page.reload()
    # The card is back, in this tab and in a new one.
    expect(page.locator(".approval")).to_be_visible()
    expect(page.locator("#busy-indicator")).to_contain_text("working")
    other = page.context.new_page()
    other.goto(url)
    card = other.locator(".approval")
    expect(card).to_be_visible()
    expect(card.locator("pre")).to_have_text("rm -rf /tmp/pending")
    card.locator("button[data-choice='once']").click()
    expect(card.locator(".outcome")).to_contain_text("sent")
    # Both tabs see the answer and the reply under the command.
    for tab in (page, other):
        expect(last_reply(tab)).to_contain_text("was allowed and ran")
        expect(tab.locator(".approval button[data-choice='once']")).to_be_disabled()
        assert conversation(tab)[0] == ["user", "run: rm -rf /tmp/pending"]

    # Stopped while it waits, after a reload: the reply says so, not empty.
    send(page, "run: rm -rf /tmp/again")
    expect(page.locator(".approval:not(.answered)")).to_be_visible()
    page.reload()
    expect(page.locator(".approval:not(.answered)")).to_be_visible()
    page.click("#stop-btn")
    for tab in (page, other):
        reply = tab.locator(".msg.assistant").last
        expect(reply.locator(".stopped-line")).to_have_text("Stopped.")
        expect(reply.locator(".tool-line")).not_to_contain_text("done")
        expect(reply.locator(".approval button").first).to_be_disabled()
    page.context.close()


def test_reload_returns_to_the_session_and_resumes_a_running_turn(browser, server, tmp_path):
    page = open_page(browser, server.url, PHONE)
    send(page, "remember the otters")
    wait_idle(page)
    url = session_url(server, page)
    # At rest: the reload opens the same session with its history.
    page.reload()
    page.wait_for_selector("body[data-ready='1']")
    assert page.url == url
    expect(page.locator(".msg.user .text")).to_have_text(["remember the otters"])
    expect(page.locator("#session-title")).not_to_have_text("New chat")
    # An image message comes back as the user sent it, with its thumbnail.
    image = tmp_path / "dot.png"
    image.write_bytes(make_png(16, 16))
    page.set_input_files("#attach-input", str(image))
    expect(page.locator("#attachments img")).to_have_count(1)
    send(page, "what is this?")
    wait_idle(page)
    page.reload()
    asked = page.locator(".msg.user", has_text="what is this?")
    # (a host that cannot serve the picture shows a placeholder in its place)
    expect(asked.locator("img.thumb[src^='/chat/upload/upload_'], .thumb-missing[data-src^='/chat/upload/upload_']")
           ).to_have_count(1)
    expect(page.locator(".msg.user", has_text="what is this?")).not_to_contain_text("The user sent an image")
    # Mid-turn: the busy badge and the whole reply, from its first word.
    send(page, "wait: 2")
    expect(page.locator(".tool-line.running")).to_contain_text("sleep")
    page.reload()
    expect(page.locator("#busy-indicator")).to_contain_text("working")
    expect(page.locator("#stop-btn")).to_be_visible()
    expect(last_reply(page)).to_have_text("Waited 2 seconds (done).")
    wait_idle(page)
    shot(page, "reload-resumed-phone.png")
    # Back and forward move between the sessions named in the URL.
    page.click("#drawer-open")
    page.click("#new-chat")
    assert "?s=" not in page.url
    page.go_back()
    expect(page.locator(".msg.user .text").first).to_have_text("remember the otters")
    page.context.close()


def test_after_a_reload_the_running_turn_stays_above_the_waiting_ones(browser, server):
    page = open_page(browser, server.url)
    send(page, "wait: 6")
    expect(page.locator(".tool-line.running")).to_contain_text("sleep")
    send(page, "alpha")
    send(page, "beta")
    expect(page.locator(".queued-badge")).to_have_count(2)
    page.reload()
    page.wait_for_selector("body[data-ready='1']")
    expect(page.locator(".queued-badge")).to_have_count(2)
    users = page.locator(".msg.user .text")
    expect(users.first).to_contain_text("wait: 6")
    wait_idle(page)
    expect(page.locator(".msg.assistant")).to_have_count(3)
    convo = conversation(page)
    assert [c[1].split(" (")[0] for c in convo[::2]] == ["wait: 6", "alpha", "beta"], convo
    assert convo[1][1].startswith("Waited 6 seconds") and "alpha" in convo[3][1] and "beta" in convo[5][1], convo
    page.context.close()


def test_two_tabs_see_the_same_turns_live_in_order(browser, server):
    first = open_page(browser, server.url)
    send(first, "hello from the first tab")
    wait_idle(first)
    url = session_url(server, first)
    second = first.context.new_page()
    second.goto(url)
    expect(second.locator(".msg.user .text").first).to_have_text("hello from the first tab")

    # A turn sent from the first tab shows in the idle second tab as it runs.
    send(first, "wait: 4")
    expect(second.locator(".tool-line.running")).to_contain_text("sleep")
    expect(second.locator("#busy-indicator")).to_contain_text("working")
    # Three messages wait their turn; the replies go under their questions.
    for q in ("q1", "q2", "q3"):
        send(first, q)
    expect(second.locator(".queued-badge")).to_have_count(3)
    expect(first.locator("#busy-indicator")).to_contain_text("3 queued")
    shot(second, "queued-second-tab.png")
    for tab in (first, second):
        expect(tab.locator(".msg.assistant .reply")).to_have_count(5, timeout=30_000)
        wait_idle(tab)
    expected = ["hello from the first tab", "wait: 4", "q1", "q2", "q3"]
    for tab in (first, second):
        convo = conversation(tab)
        assert [text for who, text in convo if who == "user"] == expected
        assert [who for who, _ in convo] == ["user", "agent"] * 5
        assert convo[3][1] == "Waited 4 seconds (done)."
        for i, q in enumerate(("q1", "q2", "q3")):
            assert convo[5 + 2 * i][1].startswith(f"You said: {q} ")
    # After a reload the order is the same.
    second.reload()
    expect(second.locator(".msg.assistant .reply")).to_have_count(5)
    assert conversation(second) == conversation(first)
    first.context.close()


def test_host_restart_shows_reconnecting_then_the_interrupted_turn(browser, tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    server = start_server("--engine", "standin", home=home)
    page = open_page(browser, server.url)
    try:
        send(page, "wait: 15")
        expect(page.locator(".tool-line.running")).to_contain_text("sleep")
        server.stop()
        banner = page.locator("#banner")
        expect(banner).to_contain_text("Reconnecting")
        shot(page, "reconnecting.png")
        # The turn did not fail: the host resumes it or marks it interrupted;
        # meanwhile nothing claims to be working.
        page.wait_for_timeout(1500)
        expect(page.locator(".error-line")).to_have_count(0)
        expect(page.locator("#busy-indicator")).to_be_hidden()
        expect(page.locator("#stop-btn")).to_be_hidden()
        # One banner, in the new chat's view too.
        page.click("#new-chat")
        expect(page.locator(".msg")).to_have_count(0)
        expect(banner).to_contain_text("Reconnecting")
        expect(banner).to_have_count(1)
        page.go_back()
        server = start_server("--engine", "standin", home=home, port=server.port)
        expect(banner).to_be_hidden(timeout=30_000)
        # The cut turn is shown for what it is: no cursor, no running tool.
        reply = page.locator(".msg.assistant").last
        expect(reply.locator(".interrupted-line")).to_be_visible()
        expect(reply).not_to_contain_text("[interrupted]")  # one marker, the same as live
        expect(page.locator(".msg.assistant.streaming")).to_have_count(0)
        expect(page.locator(".tool-line.running")).to_have_count(0)
        expect(page.locator("#busy-indicator")).to_be_hidden()
        # And the session works again.
        send(page, "back again")
        expect(last_reply(page)).to_contain_text("You said: back again")
        shot(page, "recovered.png")
    finally:
        page.context.close()
        server.stop()


def test_other_tabs_see_the_profile_switch_and_which_chats_wait(browser, tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    server = start_server("--engine", "standin", home=home)
    try:
        a = open_page(browser, server.url)
        b = open_page(browser, server.url)
        # A chat waiting for an approval in tab A is marked in tab B's list.
        send(a, "run: rm -rf /tmp/marker")
        expect(a.locator(".approval")).to_be_visible()
        waiting = a.evaluate("new URLSearchParams(location.search).get('s')")
        row = b.locator(f".session-item[data-id='{waiting}']")
        expect(row.locator(".state-badge")).to_have_text("awaiting approval")
        a.locator(".approval button[data-choice='deny']").click()
        expect(row.locator(".state-badge")).to_have_count(0)

        # Tab B makes another profile active: tab A closes its chat with a
        # notice and shows the new profile.
        b.select_option("#profile-select", "__new__")
        b.fill("#dialog-input", "work")
        b.click("#dialog-ok")
        expect(b.locator("#profile-select")).to_have_value("work")
        expect(a.locator(".toast", has_text="another window").first).to_be_visible()
        expect(a.locator("#session-title")).to_have_text("New chat")
        expect(a.locator("#profile-select")).to_have_value("work")
        a.context.close()
        b.context.close()
    finally:
        server.stop()
