"""A model's streamed reply in the chat page (Debian's Chromium driven by Playwright)."""
import json

import pytest

from fake_openai import TITLE, FakeModelServer
from host_wire import let_in, start_server
from test_browser import (DESKTOP, PHONE, SCREENSHOT, browser, csp_violations, last_reply, open_page,
                          page, playwright_api, pytestmark, send, shot, wait_idle)

__all__ = ["browser", "page", "pytestmark"]  # fixtures and the skip rule, shared

KEY = "sk-or-v1-browser-5ecret"


@pytest.fixture
def model_server():
    with FakeModelServer() as fake:
        srv = start_server("--engine", "standin", env={
            "ZALIX_BASE_URL": fake.url, "OPENROUTER_API_KEY": KEY, "ZALIX_MODEL": "fake/chat"})
        try:
            yield srv
        finally:
            srv.stop()


def test_a_models_reply_streams_into_the_page(page, model_server):
    expect = playwright_api.expect
    let_in(page.context, model_server.url)
    page.goto(model_server.url + "/")
    page.wait_for_selector("body[data-ready='1']")
    send(page, "hello from the browser")
    expect(last_reply(page)).to_have_text("Echo: hello from the browser")
    expect(page.locator("#engine-badge")).to_contain_text("bundled engine")
    expect(page.locator("#stop-btn")).to_be_hidden()
    expect(page.locator(".session-item.active .title")).to_have_text(TITLE)
    assert KEY not in page.content()
    SCREENSHOT.mkdir(parents=True, exist_ok=True)
    page.screenshot(path=str(SCREENSHOT / "model-reply.png"), full_page=True)


def test_an_agents_command_asks_streams_its_output_and_stays_after_a_reload(browser, tmp_path):
    expect = playwright_api.expect
    work = tmp_path / "work"
    work.mkdir()
    (tmp_path / ".korvel").mkdir()
    (tmp_path / ".korvel" / "config.yaml").write_text(f"model: fake/tools\nterminal:\n  cwd: {work}\n")
    command = "mkdir made && echo one && sleep 1.5 && echo two"
    with FakeModelServer() as fake:
        srv = start_server("--engine", "standin", home=tmp_path,
                           env={"ZALIX_BASE_URL": fake.url, "OPENROUTER_API_KEY": KEY})
        page = open_page(browser, srv.url, DESKTOP)
        try:
            send(page, "say Making a folder.\ncall terminal " + json.dumps({"command": command}))
            # The card names the exact command; nothing ran before the answer.
            card = page.locator(".approval")
            expect(card.locator("pre")).to_have_text(command)
            assert not (work / "made").exists()
            shot(page, "agent-approval-desktop.png")
            card.locator("button[data-choice='once']").click()
            # The output arrives while the command runs.
            step = page.locator(".tool-step")
            expect(step.locator(".step-output")).to_have_text("one\n")
            expect(step).to_have_class("tool-line tool-step running open")
            shot(page, "agent-live-output-desktop.png")
            expect(step).to_contain_text("(done: exit status 0,")
            wait_idle(page)
            expect(last_reply(page).locator("p")).to_have_text(["Making a folder.", "Results: exit status 0"])
            assert (work / "made").is_dir()

            for size, name in ((DESKTOP, "desktop"), (PHONE, "phone")):
                page.set_viewport_size(size)
                page.reload()
                page.wait_for_selector("body[data-ready='1']")
                activity = page.locator(".msg.assistant .activity")
                expect(activity.locator(".tool-step.done")).to_contain_text(command)
                expect(activity).not_to_have_attribute("open", "")
                expect(activity.locator("> summary")).to_have_text("Activity (1 step)")
                activity.locator("> summary").click()
                activity.locator(".step-head").click()
                expect(activity.locator(".step-output")).to_have_text("exit status 0\none\ntwo\n")
                expect(last_reply(page).locator("p")).to_have_text(["Making a folder.", "Results: exit status 0"])
                shot(page, f"agent-step-after-reload-{name}.png")
            assert csp_violations(page) == []
        finally:
            page.context.close()
            srv.stop()
