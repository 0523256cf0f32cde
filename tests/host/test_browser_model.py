"""A model's streamed reply in the chat page (Debian's Chromium driven by Playwright)."""
import pytest

from fake_openai import TITLE, FakeModelServer
from host_wire import let_in, start_server
from test_browser import SCREENSHOT, browser, last_reply, page, playwright_api, pytestmark, send

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
