"""The chat page in a real browser (Debian's Chromium driven by Playwright),
at a desktop size (1280x800) and a phone size (390x844)."""
import json
import os
import pathlib
import re
import shutil
import textwrap
import time

import pytest

from host_wire import TOKEN, fake_installer, let_in, make_png, start_server

playwright_api = pytest.importorskip("playwright.sync_api")
expect = playwright_api.expect

CHROMIUM = os.environ.get("CHROMIUM_PATH", "/usr/bin/chromium")
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--no-first-run"]
#: Where the screenshots are kept.
SCREENSHOT = pathlib.Path(os.environ.get("HOST_SCREENSHOT_DIR", pathlib.Path(__file__).parent / "artifacts"))
DESKTOP = {"width": 1280, "height": 800}
PHONE = {"width": 390, "height": 844}
SIZES = {"desktop": DESKTOP, "phone": PHONE}

# Without the browser the test is skipped on a developer's machine, but fails
# in CI, where a missing install step must not pass unnoticed.
pytestmark = pytest.mark.skipif(not shutil.which(CHROMIUM) and not os.environ.get("CI"),
                                reason=f"no Chromium at {CHROMIUM} (apt-get install chromium)")


@pytest.fixture(scope="module")
def browser():
    with playwright_api.sync_playwright() as pw:
        browser = pw.chromium.launch(executable_path=CHROMIUM, args=FLAGS, headless=True)
        try:
            yield browser
        finally:
            browser.close()


#: The strictest policy the page must work under: its own scripts, styles and
#: workers only, no inline code; images also from blob: (attachment previews).
CSP = ("default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
       "worker-src 'self'; connect-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'")
# The sanitizer parses a reply in an inert document, where the policy still
# reports (and blocks) the handlers it then removes: those are not the page's.
REPORT_CSP = """document.addEventListener("securitypolicyviolation", (e) => {
  if (!/purify\\.min\\.js$/.test(e.sourceFile))
    (window.__csp = window.__csp || []).push(`${e.violatedDirective} ${e.blockedURI} ${e.sourceFile}`);
});"""


def with_csp(route):
    # Redirects (the token address's) go to the browser, which follows them.
    response = route.fetch(max_redirects=0)
    route.fulfill(response=response, headers={**response.headers, "content-security-policy": CSP})


def csp_violations(page):
    return page.evaluate("window.__csp || []")


def open_page(browser, url, size=DESKTOP, scheme="light", token=TOKEN):
    """A fresh tab with its own storage, under a strict Content-Security-Policy;
    no alert(), prompt() or confirm() allowed. It holds the host's cookie, as
    after opening the printed address (``token=None``: a browser without it)."""
    context = browser.new_context(viewport=size, color_scheme=scheme, reduced_motion="reduce")
    if token:
        let_in(context, url, token)
    context.route(re.compile(r"^http://127\.0\.0\.1:\d+/(\?.*)?$"), with_csp)
    context.add_init_script(REPORT_CSP)
    context.grant_permissions(["clipboard-read", "clipboard-write"], origin=url.split("/?")[0])
    pg = context.new_page()
    pg.set_default_timeout(20_000)

    def no_native_dialogs(dialog):
        dialog.dismiss()
        raise AssertionError(f"the page opened a native {dialog.type}: {dialog.message}")
    pg.on("dialog", no_native_dialogs)
    pg.goto(url if "?" in url else url + "/")
    pg.wait_for_selector("body[data-ready='1']")
    return pg


@pytest.fixture(params=list(SIZES))
def sized(request, browser, server):
    pg = open_page(browser, server.url, SIZES[request.param])
    pg.size_name = request.param
    yield pg
    assert csp_violations(pg) == []
    pg.context.close()


@pytest.fixture
def page(browser, server):
    pg = open_page(browser, server.url)
    yield pg
    assert csp_violations(pg) == []
    pg.context.close()


def shot(page, name, full_page=False):
    SCREENSHOT.mkdir(parents=True, exist_ok=True)
    page.screenshot(path=str(SCREENSHOT / name), full_page=full_page)


def send(page, text):
    page.fill("#composer-input", text)
    page.click("#send-btn")
    # The box empties once the host has taken the message.
    expect(page.locator("#composer-input")).to_have_value("")


def last_reply(page):
    return page.locator(".msg.assistant .reply").last


def wait_idle(page):
    expect(page.locator(".msg.assistant.streaming")).to_have_count(0)
    expect(page.locator("#busy-indicator")).to_be_hidden()


def wait_until(page, script, arg=None, timeout=20.0):
    """Poll a page function (wait_for_function would need eval, which the
    page's policy forbids)."""
    deadline = time.monotonic() + timeout
    while not page.evaluate(script, arg):
        assert time.monotonic() < deadline, f"not reached in {timeout}s: {script}"
        time.sleep(0.1)


def no_sideways_scroll(page):
    widths = page.evaluate("[document.documentElement.scrollWidth, document.body.scrollWidth, innerWidth,"
                           " document.querySelector('#messages').scrollWidth,"
                           " document.querySelector('#messages').clientWidth]")
    assert widths[0] <= widths[2] and widths[1] <= widths[2], widths
    assert widths[3] <= widths[4], widths


def axe_check(page, what):
    """No serious or critical accessibility violation on what the page shows."""
    axe_api = pytest.importorskip("axe_playwright_python.sync_playwright")
    results = axe_api.Axe().run(page)
    bad = [v for v in results.response["violations"] if v.get("impact") in ("serious", "critical")]
    assert not bad, f"{what}: " + "; ".join(
        f"{v['id']}: {v['help']} at {[n['target'] for n in v['nodes']][:4]}" for v in bad)


def contrast(fg, bg):
    """WCAG contrast ratio of two computed "rgb(r, g, b)" colours."""
    def luminance(colour):
        r, g, b = (int(v) / 255 for v in re.findall(r"[\d.]+", colour)[:3])
        lin = [c / 12.92 if c <= 0.03928 else ((c + 0.055) / 1.055) ** 2.4 for c in (r, g, b)]
        return 0.2126 * lin[0] + 0.7152 * lin[1] + 0.0722 * lin[2]
    hi, lo = sorted((luminance(fg), luminance(bg)), reverse=True)
    return (hi + 0.05) / (lo + 0.05)


def open_sessions(page):
    """The session list: a drawer on a phone, always there on a desktop."""
    if page.locator("#drawer-open").is_visible():
        page.click("#drawer-open")
        expect(page.locator("#sidebar")).to_be_visible()


def test_chat_approve_stop_image_and_title(page, tmp_path):
    # A reply streams in, and the session gets its title.
    send(page, "tell me about otters")
    expect(last_reply(page)).to_contain_text("You said: tell me about otters")
    expect(page.locator(".session-item.active .title")).to_have_text("Tell me about otters", timeout=20_000)
    expect(page.locator("#session-title")).to_have_text("Tell me about otters")
    expect(page.locator(".tool-line.done").first).to_contain_text("get_time")

    # A dangerous command waits for the user's answer.
    send(page, "run: rm -rf /tmp/otters")
    page.locator(".approval button[data-choice='once']").click()
    expect(page.locator(".approval .outcome")).to_contain_text("sent")
    expect(last_reply(page)).to_contain_text("was allowed and ran")

    # A long turn is stopped from the stop button; its tool is not shown as done.
    send(page, "wait: 60")
    expect(page.locator(".tool-line.running")).to_contain_text("sleep")
    page.click("#stop-btn")
    expect(page.locator(".stopped-line")).to_have_count(1)
    expect(page.locator("#stop-btn")).to_be_hidden()
    expect(page.locator(".tool-line", has_text="sleep")).to_contain_text("stopped")
    expect(page.locator(".tool-line", has_text="sleep")).not_to_contain_text("done")

    # A message sent while a turn runs waits its turn, and the page says so.
    send(page, "wait: 60")
    expect(page.locator(".tool-line.running")).to_contain_text("sleep")
    send(page, "after the wait")
    expect(page.locator(".queued-badge")).to_have_text("queued #1")
    expect(page.locator("#busy-indicator")).to_contain_text("1 queued")
    shot(page, "queued.png")
    page.click("#stop-btn")
    expect(last_reply(page)).to_contain_text("You said: after the wait")
    expect(page.locator(".queued-badge")).to_have_count(0)
    expect(page.locator("#busy-indicator")).to_be_hidden()

    # An attached image is described to the agent.
    image = tmp_path / "dot.png"
    image.write_bytes(make_png(64, 64))
    page.set_input_files("#attach-input", str(image))
    expect(page.locator("#attachments img")).to_have_count(1)
    # The host's answer comes late, after the turn is already on the stream:
    # the message shows once, with its picture.
    def late(route):
        response = route.fetch()
        time.sleep(0.8)
        route.fulfill(response=response)
    page.route("**/chat/send", late)
    send(page, "what is in the picture?")
    page.unroute("**/chat/send")
    expect(page.locator(".msg.user", has_text="what is in the picture?")).to_have_count(1)
    expect(page.locator(".msg.user img.thumb")).to_have_count(1)
    expect(last_reply(page)).to_contain_text("The user sent an image")
    expect(page.locator("#attachments img")).to_have_count(0)
    wait_idle(page)
    shot(page, "chat.png", full_page=True)


MARKDOWN = textwrap.dedent("""\
    **bold words** and a [link](http://127.0.0.1/) <img src=x onerror="window.hacked=1"><script>window.hacked=2</script>

    - first item
    - second item

    | animal | legs |
    |--------|------|
    | otter  | 4    |

    | north | east | south | west | total |
    |---|---|---|---|---|
    | 123456789.123 | 223456789.123 | 323456789.123 | 423456789.123 | 1093827156.492 |

    ```python
    def swim(depth):
        return depth * 2
    ```

    """) + "x" * 3000 + "\n\n"


def test_markdown_reply_copy_wrap_and_activity(sized):
    page = sized
    send(page, MARKDOWN)
    reply = last_reply(page)
    expect(reply.locator("strong")).to_have_text("bold words")
    expect(reply.locator("li")).to_have_count(2)
    expect(reply.locator("table td").first).to_have_text("otter")
    expect(reply.locator("a[href='http://127.0.0.1/']")).to_have_attribute("rel", "noopener noreferrer")
    # Code is coloured and has its own copy button; the reply has one too.
    block = reply.locator(".code-block")
    expect(block.locator("code.hljs .hljs-keyword").first).to_have_text("def")
    wait_idle(page)
    # Nothing the reply carried ran or stayed as markup that could run.
    assert page.evaluate("window.hacked") is None
    assert reply.locator("script, [onerror]").count() == 0
    expect(reply.locator("img")).to_have_attribute("alt", "image in the reply")

    block.get_by_role("button", name="Copy python code").click()
    expect(block.get_by_role("button", name="Copy python code")).to_have_text("Copied")
    assert page.evaluate("navigator.clipboard.readText()") == "def swim(depth):\n    return depth * 2\n"
    page.locator(".msg.assistant").last.get_by_role("button", name="Copy reply").click()
    assert page.evaluate("navigator.clipboard.readText()").startswith("You said: **bold words**")

    # A wide table breaks between words, never inside a number: it scrolls
    # on its own instead.
    lines = reply.locator("table").nth(1).locator("td").evaluate_all(
        "(cells) => cells.map((td) => { const r = document.createRange(); r.selectNodeContents(td);"
        " return new Set([...r.getClientRects()].map((b) => Math.round(b.top))).size; })")
    assert lines == [1, 1, 1, 1, 1], lines
    # Numbers in coloured code keep AA contrast on the code's background, in
    # both themes (axe leaves text in a scrolling block to be checked by hand).
    for scheme in ("light", "dark"):
        page.emulate_media(color_scheme=scheme)
        fg, bg = block.evaluate("(b) => [getComputedStyle(b.querySelector('.hljs-number')).color,"
                                " getComputedStyle(b.querySelector('pre')).backgroundColor]")
        assert contrast(fg, bg) >= 4.5, (scheme, fg, bg, contrast(fg, bg))
    page.emulate_media(color_scheme="light")
    # 3,000 x's wrap inside the bubble; nothing scrolls sideways.
    no_sideways_scroll(page)
    bubble = page.locator(".msg.assistant").last.bounding_box()
    assert bubble["x"] + bubble["width"] <= page.viewport_size["width"]

    # The activity folds away when the reply is done, without engine chatter.
    activity = page.locator(".msg.assistant").last.locator(".activity")
    expect(activity).not_to_have_attribute("open", "")
    expect(activity.locator("summary")).to_have_text("Activity (1 step)")
    expect(page.locator("#messages")).not_to_contain_text("lifecycle")
    expect(page.locator("#messages")).not_to_contain_text("Thinking with")
    # The screen reader hears the finished reply, not each word.
    assert page.locator("#messages").get_attribute("aria-live") is None
    expect(page.locator("#announcer")).to_contain_text("Reply finished: You said:")
    shot(page, f"markdown-{page.size_name}.png")


def test_phone_layout_drawer_and_reachable_controls(browser, server):
    page = open_page(browser, server.url, PHONE)
    try:
        # The sessions are in a drawer; the chat takes the whole width.
        expect(page.locator("#sidebar")).to_be_hidden()
        no_sideways_scroll(page)
        for sel in ("#drawer-open", "#attach-btn", "#composer-input", "#send-btn", "#model-select"):
            box = page.locator(sel).bounding_box()
            assert box and box["x"] >= 0 and box["x"] + box["width"] <= PHONE["width"], (sel, box)
            assert box["y"] + box["height"] <= PHONE["height"], (sel, box)
        assert page.locator("#composer-input").bounding_box()["width"] > 180

        send(page, "wait: 30")
        expect(page.get_by_role("button", name="Stop", exact=True)).to_be_visible()
        box = page.locator("#stop-btn").bounding_box()
        assert box["x"] + box["width"] <= PHONE["width"]
        # Stop shows only its square here: the message box keeps room for
        # its one-line placeholder.
        assert page.locator("#composer-input").bounding_box()["width"] > 200
        no_sideways_scroll(page)
        shot(page, "phone-chat.png")
        page.click("#stop-btn")
        wait_idle(page)

        page.click("#drawer-open")
        expect(page.locator("#sidebar")).to_be_visible()
        expect(page.locator("#drawer-open")).to_have_attribute("aria-expanded", "true")
        expect(page.locator(".session-item").first).to_be_visible()
        no_sideways_scroll(page)
        shot(page, "phone-drawer.png")
        page.keyboard.press("Escape")
        expect(page.locator("#sidebar")).to_be_hidden()
        expect(page.locator("#drawer-open")).to_be_focused()
        # Choosing a session closes the drawer and opens the session.
        page.click("#drawer-open")
        page.locator(".session-open").first.click()
        expect(page.locator("#sidebar")).to_be_hidden()
        expect(page.locator(".msg.user").first).to_be_visible()
    finally:
        page.context.close()


def test_keyboard_names_contrast_and_accessibility_check(sized):
    page = sized
    send(page, "hello keyboard")
    expect(last_reply(page)).to_contain_text("You said: hello keyboard")
    wait_idle(page)
    # Messages are named for a screen reader; a session row's name has its
    # pieces apart.
    expect(page.get_by_role("article", name="Your message").first).to_be_visible()
    expect(page.get_by_role("article", name="Reply").first).to_be_visible()
    open_sessions(page)
    expect(page.locator(".session-item.active .session-open")).to_have_accessible_name(
        re.compile(r"^Hello keyboard( \(\d+\))? (#\d+ )?Last used "))
    page.keyboard.press("Escape")
    # Every control has a name, the text box a label.
    expect(page.get_by_role("textbox", name="Message")).to_be_visible()
    expect(page.get_by_role("button", name="Attach images")).to_be_visible()
    # Tab reaches the session rows and the attach control.
    reached = set()
    page.locator("body").focus()
    open_sessions(page)
    for _ in range(40):
        page.keyboard.press("Tab")
        reached.add(page.evaluate("(document.activeElement.dataset.role || document.activeElement.id"
                                  " || document.activeElement.className)"))
    assert "open" in reached and "rename" in reached, reached
    page.keyboard.press("Escape")
    page.locator("#composer-input").focus()
    page.keyboard.press("Shift+Tab")
    expect(page.locator("#attach-btn")).to_be_focused()
    axe_check(page, "chat view")
    open_sessions(page)
    axe_check(page, "session list")
    page.keyboard.press("Escape")

    # The approval card, in both themes.
    send(page, "run: rm -rf /tmp/keys")
    expect(page.locator(".approval")).to_be_visible()
    # The typing cursor is not read out.
    assert "▍" not in page.locator(".msg.assistant.streaming").aria_snapshot()
    expect(page.locator("#announcer")).to_contain_text("Approval needed")
    axe_check(page, "approval card (light)")
    page.emulate_media(color_scheme="dark")
    axe_check(page, "approval card (dark)")
    shot(page, f"approval-dark-{page.size_name}.png")
    page.keyboard.press("Tab")
    page.locator(".approval button[data-choice='deny']").focus()
    page.keyboard.press("Enter")
    expect(page.locator(".approval .outcome")).to_contain_text("sent")
    # The answered card's buttons are spent: the focus is back in the composer.
    expect(page.locator("#composer-input")).to_be_focused()
    wait_idle(page)


def test_keyboard_only_stop_new_chat_and_search(page):
    # Escape stops the running turn, and the focus stays in the composer.
    send(page, "wait: 60")
    expect(page.locator(".tool-line.running")).to_contain_text("sleep")
    page.locator("#composer-input").focus()
    page.keyboard.press("Escape")
    expect(page.locator(".stopped-line")).to_have_count(1)
    expect(page.locator("#stop-btn")).to_be_hidden()
    expect(page.locator("#composer-input")).to_be_focused()
    # With nothing running Escape changes nothing.
    page.keyboard.press("Escape")
    expect(page.locator(".stopped-line")).to_have_count(1)

    # The stop button stops too, and hands the focus back to the composer.
    send(page, "wait: 60")
    expect(page.locator(".tool-line.running")).to_contain_text("sleep")
    page.locator("#stop-btn").focus()
    page.keyboard.press("Enter")
    expect(page.locator(".stopped-line")).to_have_count(2)
    expect(page.locator("#composer-input")).to_be_focused()

    # The shortcuts say themselves in their tooltips.
    assert "Ctrl+Shift+O" in page.get_attribute("#new-chat", "title")
    assert "Ctrl+K" in page.get_attribute("#session-search", "title")
    # Ctrl+K goes to the search box, Ctrl+Shift+O to a new chat's composer.
    page.keyboard.press("Control+k")
    expect(page.locator("#session-search")).to_be_focused()
    page.locator("#composer-input").focus()
    page.keyboard.press("Control+Shift+O")
    expect(page.locator("#session-title")).to_have_text("New chat")
    expect(page.locator(".msg")).to_have_count(0)
    assert page.evaluate("location.search") == ""
    expect(page.locator("#composer-input")).to_be_focused()
    # The page's first stops of Tab skip to the message box and to the session list.
    page.locator(".skip-link").first.focus()
    page.keyboard.press("Tab")
    expect(page.locator(".skip-link", has_text="session list")).to_be_focused()
    page.keyboard.press("Enter")
    expect(page.locator("#new-chat")).to_be_focused()


def test_edit_regenerate_retry_times_and_a_larger_image(page, tmp_path):
    send(page, "first question")
    expect(last_reply(page)).to_contain_text("You said: first question")
    wait_idle(page)
    # Every message says when it was written.
    stamp = page.locator(".msg.user time").first.get_attribute("datetime")
    assert re.match(r"\d{4}-\d\d-\d\dT", stamp), stamp
    expect(page.locator(".msg.assistant .reply-foot time")).to_have_count(1)

    # Regenerate asks the last question again, as a new turn; only the newest
    # reply offers it.
    page.get_by_role("button", name="Regenerate this reply").click()
    expect(page.locator(".msg.user")).to_have_count(2)
    expect(page.locator(".msg.assistant")).to_have_count(2)
    wait_idle(page)
    expect(page.locator(".msg.user .text").last).to_have_text("first question")
    expect(page.get_by_role("button", name="Regenerate this reply")).to_have_count(1)
    expect(page.locator(".msg.assistant").last.get_by_role("button", name="Regenerate this reply")).to_be_visible()

    # Edit: the words in a box in place; Enter sends them as a new turn, the
    # earlier message stays as it was.
    first = page.locator(".msg.user").first
    first.get_by_role("button", name="Edit this message").click()
    box = page.get_by_role("textbox", name="Edited message")
    expect(box).to_be_focused()
    expect(box).to_have_value("first question")
    axe_check(page, "edit box")
    box.press("Escape")
    expect(box).to_have_count(0)
    expect(page.locator("#busy-indicator")).to_be_hidden()
    first.get_by_role("button", name="Edit this message").click()
    box.fill("the edited question")
    box.press("Enter")
    expect(last_reply(page)).to_contain_text("You said: the edited question")
    expect(first.locator(".text")).to_have_text("first question")
    expect(page.locator("#composer-input")).to_be_focused()
    wait_idle(page)

    # An attached image opens larger in the page's own dialog.
    image = tmp_path / "big.png"
    image.write_bytes(make_png(64, 64))
    page.set_input_files("#attach-input", str(image))
    expect(page.locator("#attachments img")).to_have_count(1)
    send(page, "look at this")
    wait_idle(page)
    page.get_by_role("button", name="Open the image larger").last.click()
    expect(page.locator("#image-dialog")).to_be_visible()
    expect(page.locator("#image-large")).to_have_attribute("src", re.compile(r"."))
    axe_check(page, "image dialog")
    shot(page, "image-dialog.png")
    page.keyboard.press("Escape")
    expect(page.locator("#image-dialog")).to_be_hidden()

    # A failed turn as the history keeps it: why it failed, the model, the
    # host's times, and Retry.
    session = page.evaluate("new URLSearchParams(location.search).get('s')")
    failed = {"messages": [
        {"role": "user", "content": "try me", "ts": 1700000000.5, "client_id": "c-1", "turn": "t9"},
        {"role": "assistant", "content": "", "status": "error", "turn": "t9", "model": "vendor/model-x",
         "reasoning": "Thinking it over first.",
         "ts": 1700000003, "error": {"kind": "rate_limit", "message": "The provider is rate limiting", "retry_after": 30}},
    ], "next": None, "total": 2}
    page.route(re.compile(r"/chat/history/"), lambda route: route.fulfill(json=failed))
    page.reload()
    page.wait_for_selector("body[data-ready='1']")
    line = page.locator(".error-line")
    expect(line).to_contain_text("The provider is rate limiting")
    expect(page.locator(".msg.user time")).to_have_attribute("datetime", "2023-11-14T22:13:20.500Z")
    expect(page.locator(".reply-model")).to_have_text("vendor/model-x")
    # Its reasoning is kept, folded away.
    expect(page.locator(".activity .reasoning-text")).to_have_text("Thinking it over first.")
    expect(page.locator(".activity")).not_to_have_attribute("open", "")
    expect(page.get_by_role("button", name="Regenerate this reply")).to_have_count(0)
    page.unroute(re.compile(r"/chat/history/"))
    line.get_by_role("button", name="Retry this message").click()
    expect(last_reply(page)).to_contain_text("You said: try me")
    assert session in page.url


def test_model_picker_browses_with_arrows_and_applies_on_enter(page):
    # The picker as it is with a model endpoint: the host's list, not the
    # stand-in's one name (that comes last).
    def remote(route):
        if route.request.method != "GET":
            route.continue_()
            return
        response = route.fetch()
        route.fulfill(response=response, json={**response.json(), "standin": False})
    page.route(re.compile(r"/model$"), remote)
    page.reload()
    page.wait_for_selector("body[data-ready='1']")
    posts = []
    page.on("request", lambda r: posts.append(r.post_data) if r.method == "POST" and r.url.endswith("/model") else None)
    sel = page.locator("#model-select")
    first = sel.input_value()
    sel.focus()
    for _ in range(3):
        page.keyboard.press("ArrowDown")
    browsed = sel.input_value()
    assert browsed != first
    page.wait_for_timeout(300)
    assert posts == []
    page.keyboard.press("Enter")
    wait_until(page, "(m) => document.querySelector('#model-select').dataset.current === m", browsed)
    assert len(posts) == 1 and browsed in posts[0]
    # Browsing away and leaving the list goes back to the model in use.
    page.keyboard.press("ArrowDown")
    page.locator("#composer-input").focus()
    expect(sel).to_have_value(browsed)
    assert len(posts) == 1

    # A model typed through "Other…" stays in the list, also after a reload.
    sel.select_option("__other__")
    page.fill("#dialog-input", "someone/typed-model")
    page.click("#dialog-ok")
    expect(sel).to_have_value("someone/typed-model")
    page.reload()
    page.wait_for_selector("body[data-ready='1']")
    expect(sel.locator("option[value='someone/typed-model']")).to_have_count(1)
    sel.select_option(first)
    expect(sel.locator("option[value='someone/typed-model']")).to_have_count(1)

    # The scripted stand-in shows only its own name.
    def standin(route):
        response = route.fetch()
        route.fulfill(response=response, json={**response.json(), "standin": True})
    page.route(re.compile(r"/model$"), standin)
    page.reload()
    page.wait_for_selector("body[data-ready='1']")
    expect(sel.locator("option")).to_have_text(["stand-in (scripted)"])
    expect(sel).to_be_disabled()


def sse(*events):
    """A finished event stream as /events sends it (the browser connects again)."""
    return "retry: 500\n\n" + "".join(f"event: {name}\ndata: {json.dumps(data)}\n\n" for name, data in events)


def test_permissions_export_and_markers_from_the_host_wide_stream(page):
    # Two chats: the first one is the one working elsewhere.
    send(page, "the other chat")
    wait_idle(page)
    other = page.evaluate("new URLSearchParams(location.search).get('s')")
    page.click("#new-chat")
    send(page, "hello export")
    wait_idle(page)
    expect(page.locator(f".session-item[data-id='{other}']")).to_have_count(1)

    # The host's routes as the wire describes them.
    perms = {"supported": True, "session": [{"session_id": other, "key": "rm", "description": "recursive delete"}],
             "always": [{"key": "curl", "description": "download with curl"}]}
    revoked = []
    events = {"body": sse(("hello", {"profile": "default"}),
                          ("session_state", {"session_id": other, "state": "awaiting_approval"}))}

    def permissions(route):
        if route.request.method == "DELETE":
            revoked.append(json.loads(route.request.post_data))
            return route.fulfill(json={"revoked": True})
        route.fulfill(json=perms)
    page.route(re.compile(r"/permissions$"), permissions)
    page.route(re.compile(r"/chat/export/"), lambda route: route.fulfill(
        body="# Hello export\n", headers={"Content-Type": "text/markdown; charset=utf-8",
                                          "Content-Disposition": 'attachment; filename="Hello export.md"'}))
    page.route(re.compile(r"/events$"), lambda route: route.fulfill(
        body=events["body"], headers={"Content-Type": "text/event-stream"}))
    page.reload()
    page.wait_for_selector("body[data-ready='1']")

    # A chat not open here that waits for an approval says so in the list.
    row = page.locator(f".session-item[data-id='{other}']")
    expect(row.locator(".state-badge")).to_have_text("awaiting approval")

    # Export downloads the host's Markdown under the chat's name.
    with page.expect_download() as download:
        page.get_by_role("button", name="Export this chat as Markdown").click()
    assert download.value.suggested_filename == "Hello export.md"

    # Permissions lists the standing approvals, each with Revoke.
    page.get_by_role("button", name="Permissions").click()
    dialog = page.locator("#permissions-dialog")
    expect(dialog.locator("li")).to_have_count(2)
    axe_check(page, "permissions view")
    shot(page, "permissions.png")
    dialog.get_by_role("button", name="Revoke download with curl").click()
    expect(dialog.locator("li")).to_have_count(1)
    assert revoked == [{"scope": "always", "key": "curl"}]
    page.keyboard.press("Escape")
    expect(dialog).to_be_hidden()
    # An engine that cannot list them: the view says so.
    perms.clear()
    perms.update({"supported": False, "reason": "The installed engine cannot list its approvals."})
    page.get_by_role("button", name="Permissions").click()
    expect(dialog).to_contain_text("cannot list its approvals")
    page.click("#permissions-close")

    # Another window made another profile active: the open chat closes with a notice.
    events["body"] = sse(("hello", {"profile": "work"}), ("profile_changed", {"profile": "work"}))
    expect(page.locator(".toast", has_text="was made active in another window").first).to_be_visible(timeout=15_000)
    expect(page.locator("#session-title")).to_have_text("New chat")


def test_each_message_carries_its_client_id_and_profile_and_a_refusal_says_why(page):
    bodies = []
    page.on("request", lambda r: bodies.append(json.loads(r.post_data)) if r.url.endswith("/chat/send") else None)
    send(page, "one")
    send(page, "two")
    wait_idle(page)
    assert [b["profile"] for b in bodies] == ["default", "default"]
    ids = [b["client_id"] for b in bodies]
    assert len(set(ids)) == 2 and all(re.fullmatch(r"[A-Za-z0-9_-]{1,64}", i) for i in ids), ids

    reason = ("This chat belongs to profile 'default', but 'work' is active now. "
              "Reload to continue in 'work'.")
    page.route(re.compile(r"/chat/send$"), lambda route: route.fulfill(status=409, json={"detail": reason}))
    page.fill("#composer-input", "three")
    page.click("#send-btn")
    expect(page.locator(".toast", has_text=reason)).to_be_visible()
    # Nothing was taken: the words stay in the box, no bubble was added.
    expect(page.locator("#composer-input")).to_have_value("three")
    expect(page.locator(".msg.user")).to_have_count(2)


def test_bubbles_are_placed_by_client_id_not_by_text(page):
    # Two messages with the same words; the host runs the second one first.
    ids = []

    def chat_send(route):
        body = json.loads(route.request.post_data)
        ids.append(body["client_id"])
        first = len(ids) == 1
        route.fulfill(json={"session_id": "s-same", "status": "started" if first else "queued",
                            "position": 0 if first else 1, "turn_id": None, "client_id": body["client_id"]})

    def envelope(name, turn, cid, data):
        return f"event: {name}\ndata: {json.dumps({'turn': turn, 'client_id': cid, 'data': data})}\n\n"

    def stream(route):
        body = "retry: 200\n\n" + envelope("sync", None, None, {"resumed": True})
        if len(ids) == 2:
            body += (envelope("turn_started", "tB", ids[1], {"turn_id": "tB", "message": "same", "model": "m/b"})
                     + envelope("delta", "tB", ids[1], "the second one's reply")
                     + envelope("turn_ended", "tB", ids[1], {"turn_id": "tB", "status": "done"}))
        route.fulfill(body=body, headers={"Content-Type": "text/event-stream"})
    page.route(re.compile(r"/chat/send$"), chat_send)
    page.route(re.compile(r"/chat/stream/s-same"), stream)
    send(page, "same")
    send(page, "same")
    reply = page.locator(".msg.assistant")
    expect(reply).to_have_count(1)
    expect(reply.locator(".reply")).to_have_text("the second one's reply")
    expect(reply.locator(".reply-model")).to_have_text("m/b")
    order = page.evaluate("[...document.querySelectorAll('#messages .msg')].map((n) =>"
                          " n.classList.contains('user') ? n.dataset.client : 'reply')")
    assert order == [ids[0], ids[1], "reply"], (order, ids)


def test_the_hosts_turn_routes_cancel_export_and_permissions(page, server):
    send(page, "wait: 60")
    expect(page.locator(".tool-line.running")).to_contain_text("sleep")
    send(page, "never mind this one")
    queued = page.locator(".msg.user[data-queued]")
    expect(queued).to_have_count(1)
    queued.get_by_role("button", name="Cancel this queued message").click()
    expect(page.locator(".msg.user", has_text="never mind this one")).to_have_count(0)
    expect(page.locator("#composer-input")).to_be_focused()
    page.keyboard.press("Escape")
    wait_idle(page)
    expect(page.locator(".msg.user")).to_have_count(1)
    # The chat exports as Markdown; the Permissions view answers.
    with page.expect_download() as download:
        page.get_by_role("button", name="Export this chat as Markdown").click()
    assert download.value.suggested_filename.endswith(".md")
    page.get_by_role("button", name="Permissions").click()
    expect(page.locator("#permissions-body")).not_to_contain_text("Loading")
    axe_check(page, "permissions view (host)")


def test_a_search_snippet_shows_its_match(page):
    long_before = "words that come first " * 20
    found = {"sessions": [{"session_id": "s-far", "title": "Far match", "updated_at": 1700000000,
                           "snippet": long_before + "the needle here",
                           "snippet_parts": [{"text": long_before + "the ", "match": False},
                                             {"text": "needle", "match": True}, {"text": " here", "match": False}]}]}
    page.route(re.compile(r"/sessions/search"), lambda route: route.fulfill(json=found))
    page.fill("#session-search", "needle")
    snippet = page.locator(".session-item .snippet")
    expect(snippet.locator("mark")).to_have_text("needle")
    expect(snippet).to_contain_text("…")
    box, mark = snippet.bounding_box(), snippet.locator("mark").bounding_box()
    # In view: inside the snippet's box, not cut off below or to the right.
    assert box["y"] <= mark["y"] and mark["y"] + mark["height"] <= box["y"] + box["height"] + 1, (box, mark)
    assert mark["x"] + mark["width"] <= box["x"] + box["width"] + 1, (box, mark)


def test_toasts_leave_by_themselves_but_stay_while_held(page):
    page.clock.install()
    page.evaluate("toast('gone soon', 'info'); toast('an error to read')")
    toasts = page.locator(".toast")
    expect(toasts).to_have_count(2)
    page.clock.run_for(6000)
    expect(toasts).to_have_count(1)
    # Held by the pointer, an error stays; let go, it leaves.
    toasts.first.hover()
    page.clock.run_for(20000)
    expect(toasts).to_have_count(1)
    page.mouse.move(5, 790)
    page.clock.run_for(13000)
    expect(toasts).to_have_count(0)


def test_themes_follow_the_system(browser, server):
    colours = {}
    for scheme in ("light", "dark"):
        page = open_page(browser, server.url, DESKTOP, scheme)
        colours[scheme] = page.evaluate("getComputedStyle(document.querySelector('#messages')).color")
        page.context.close()
    assert colours["light"] != colours["dark"]


def test_auto_scroll_follows_only_at_the_bottom(page):
    # A reply long enough to stream for a while and fill several screens.
    send(page, "\n\n".join(f"line {i} of a long reply" for i in range(300)))
    reply = last_reply(page)
    expect(reply).to_contain_text("line 20 of")
    box = page.locator("#messages")
    assert box.evaluate("b => b.scrollHeight - b.scrollTop - b.clientHeight") < 48
    box.evaluate("b => b.scrollTo(0, 0)")
    expect(page.locator("#jump-latest")).to_be_visible()
    # The reader stays where they are while the reply grows.
    seen = len(reply.text_content())
    wait_until(page, "n => document.querySelector('.msg.assistant:last-child .reply').textContent.length > n", seen + 300)
    assert box.evaluate("b => b.scrollTop") == 0
    page.click("#jump-latest")
    expect(page.locator("#jump-latest")).to_be_hidden()
    seen = len(reply.text_content())
    wait_until(page, "n => document.querySelector('.msg.assistant:last-child .reply').textContent.length > n", seen + 300)
    assert box.evaluate("b => b.scrollHeight - b.scrollTop - b.clientHeight") < 48
    page.click("#stop-btn")
    wait_idle(page)


def test_sessions_rename_delete_search_and_alike_titles(sized):
    page = sized
    text = f"{page.size_name} llamas are fluffy"
    title = text.capitalize()
    for _ in range(2):
        page.goto(page.url.split("?")[0])
        page.wait_for_selector("body[data-ready='1']")
        send(page, text)
        wait_idle(page)
    open_sessions(page)
    rows = page.locator(".session-item", has_text=title)
    expect(rows).to_have_count(2)
    # Alike titles are told apart; each row says when it was last used.
    expect(rows.locator(".title")).to_have_text([title, title])
    expect(rows.locator(".meta .nth")).to_have_text(["#2", "#1"])
    expect(rows.first.locator(".meta")).to_contain_text("Last used")

    # Rename in place.
    rows.first.get_by_role("button", name=f"Rename {title} (2)").click()
    page.keyboard.press("Control+A")
    new_name = f"Alpacas, renamed on {page.size_name}"
    page.keyboard.type(new_name)
    page.keyboard.press("Enter")
    renamed = page.locator(".session-item", has_text=new_name)
    expect(renamed).to_have_count(1)

    # Search by title and by what was said.
    page.fill("#session-search", new_name.lower())
    expect(page.locator(".session-item")).to_have_count(1)
    page.fill("#session-search", text)
    expect(page.locator(".session-item")).to_have_count(2)
    expect(page.locator(".session-item .snippet").first).to_contain_text(text)
    page.fill("#session-search", "nothing like this anywhere")
    expect(page.locator("#search-empty")).to_be_visible()
    page.fill("#session-search", "")
    expect(renamed).to_have_count(1)

    # Delete asks first, in the page; Cancel keeps the session.
    renamed.get_by_role("button", name=f"Delete {new_name}").click()
    dialog = page.locator("#dialog")
    expect(dialog).to_contain_text("Delete this chat?")
    shot(page, f"delete-confirm-{page.size_name}.png")
    page.click("#dialog-cancel")
    expect(renamed).to_have_count(1)
    renamed.locator(".session-open").click()
    expect(page.locator("#session-title")).to_have_text(new_name)
    open_sessions(page)
    renamed.get_by_role("button", name=f"Delete {new_name}").click()
    page.click("#dialog-ok")
    expect(renamed).to_have_count(0)
    expect(page.locator(".toast")).to_contain_text("Deleted")
    # Back to the deleted chat says so.
    page.go_back()
    expect(page.locator("#empty-hint")).to_contain_text("This chat was deleted")
    expect(page.locator("#session-title")).to_have_text("Deleted chat")


def test_errors_inline_new_profile_dropped_images_and_one_new_chat_name(page):
    # A new chat has one name in the header and the list while it runs.
    send(page, "wait: 30")
    expect(page.locator("#session-title")).to_have_text("New chat")
    expect(page.locator(".session-item.active .title")).to_have_text("New chat")
    page.click("#stop-btn")
    wait_idle(page)

    # The server's own reason shows in the page.
    empty = page.evaluate_handle("() => { const dt = new DataTransfer();"
                                 " dt.items.add(new File([], 'empty.png', {type: 'image/png'})); return dt; }")
    page.dispatch_event("#composer", "drop", {"dataTransfer": empty})
    expect(page.locator(".toast")).to_contain_text("image is empty")
    page.locator(".toast button").first.click()

    # Images dropped onto the composer are attached.
    png = list(make_png(8, 8))
    dropped = page.evaluate_handle("bytes => { const dt = new DataTransfer();"
                                   " dt.items.add(new File([new Uint8Array(bytes)], 'dot.png', {type: 'image/png'}));"
                                   " return dt; }", png)
    page.dispatch_event("#composer", "dragenter", {"dataTransfer": dropped})
    expect(page.locator("#drop-hint")).to_be_visible()
    page.dispatch_event("#composer", "drop", {"dataTransfer": dropped})
    expect(page.locator("#attachments img")).to_have_count(1)
    page.get_by_role("button", name="Remove dot.png").click()

    # A new profile's name is asked in the page, and checked there.
    page.select_option("#profile-select", "__new__")
    expect(page.locator("#dialog")).to_be_visible()
    page.fill("#dialog-input", "no spaces allowed")
    page.click("#dialog-ok")
    expect(page.locator("#dialog-error")).to_contain_text("letters, digits")
    page.fill("#dialog-input", "work")
    page.click("#dialog-ok")
    expect(page.locator("#profile-select")).to_have_value("work")
    page.select_option("#profile-select", "default")
    expect(page.locator("#profile-select")).to_have_value("default")


FAILING_CURL = """#!/bin/sh
echo "curl: (6) Could not resolve host: the installer's server" >&2
exit 6
"""


def test_install_screen_explains_fails_clearly_then_installs(browser, tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    fakebin = home / "fakebin"
    fakebin.mkdir()
    (fakebin / "curl").write_text(FAILING_CURL)
    (fakebin / "curl").chmod(0o755)
    server = start_server("--engine", "installed", home=home,
                          env={"PATH": f"{fakebin}{os.pathsep}{os.environ.get('PATH', '')}"})
    try:
        for name in ("phone", "desktop"):
            page = open_page(browser, server.url, SIZES[name])
            expect(page.locator("#install-screen")).to_be_visible()
            expect(page.locator("#engine-badge")).to_have_text("no engine")
            # What the button will do is said before it is pressed.
            explain = page.locator("#install-explain")
            expect(explain).to_contain_text("downloads the engine's installer script")
            expect(explain).to_contain_text("install.sh")
            expect(explain).to_contain_text("bash")
            no_sideways_scroll(page)
            axe_check(page, f"install screen ({name})")
            shot(page, f"install-{name}.png")
            if name == "phone":
                page.context.close()
                continue
            page.click("#install-btn")
            result = page.locator("#install-result")
            expect(result).to_contain_text("could not be resolved")
            expect(page.locator("#install-next")).to_contain_text("Check the internet connection")
            expect(page.locator("#install-btn")).to_have_text("Try again")
            axe_check(page, "install failure")
            shot(page, "install-failed.png")

            # With the network back, trying again installs and opens the chat.
            shutil.rmtree(fakebin)
            fake_installer(fakebin)
            page.click("#install-btn")
            expect(page.locator("#install-log")).to_contain_text("Installing korvel-agent")
            expect(result).to_contain_text("Installed")
            expect(page.locator("#engine-badge")).to_have_text("installed engine")
            expect(page.locator("#install-screen")).to_be_hidden()
            send(page, "hello from the new engine")
            expect(last_reply(page)).to_contain_text("You said: hello from the new engine")
            page.context.close()
    finally:
        server.stop()


# -- the access token and replies that cannot act --------------------------------------

def test_the_printed_address_opens_the_page_without_keeping_the_token(browser, server):
    # A browser with nothing of the host's: the address the host printed.
    page = open_page(browser, server.page_url, token=None)
    assert "token" not in page.url and page.url.rstrip("/") == server.url
    expect(page.locator("#locked")).to_be_hidden()
    send(page, "opened from the printed address")
    expect(last_reply(page)).to_contain_text("You said: opened from the printed address")
    assert "token" not in page.url
    page.context.close()


def test_a_browser_without_the_token_cannot_send(browser, server):
    for name, size in SIZES.items():
        page = open_page(browser, server.url, size, token=None)
        expect(page.locator("#locked")).to_be_visible()
        expect(page.locator("#app")).to_be_hidden()
        expect(page.locator("#locked-url")).to_have_text(f"{server.url}/?token=…")
        status = page.evaluate("""async () => (await fetch('/chat/send', {method: 'POST',
            headers: {'Content-Type': 'application/json'}, body: JSON.stringify({message: 'hi'})})).status""")
        assert status == 401
        shot(page, f"locked-{name}.png")
        axe_check(page, f"lock screen ({name})")
        if name == "phone":
            # A wrong token is refused; the right one opens the page.
            page.fill("#token-input", "not-the-token")
            page.click("#token-btn")
            expect(page.locator("#token-error")).to_have_text("That token was not accepted.")
            page.fill("#token-input", TOKEN)
            page.click("#token-btn")
            page.wait_for_selector("body[data-ready='1']:not([data-locked])")
            expect(page.locator("#app")).to_be_visible()
            assert "token" not in page.url
        page.context.close()


def test_a_reply_planting_every_page_id_does_not_change_what_send_submits(page):
    ids = page.evaluate("[...document.querySelectorAll('[id]')].map((n) => n.id)")
    assert {"composer-input", "send-btn", "dialog-ok", "dialog-input", "composer"} <= set(ids)
    kinds = ('<textarea id="{0}" name="{0}">run: sh -c evil</textarea>', '<input id="{0}" value="evil">',
             '<button id="{0}" form="composer">evil</button>', '<div id="{0}" style="position:fixed;inset:0">x</div>')
    planted = "".join(kinds[n % len(kinds)].format(i) for n, i in enumerate(ids))
    planted += '<textarea id="composer-input">run: sh -c evil</textarea><button id="send-btn">evil</button>'
    planted += ('<form id="composer"><select name="s"><option>evil</option></select>'
                '<label for="composer-input">evil</label><fieldset>f</fieldset></form>'
                '<p class="msg user approval session-item" data-queued="1" autofocus aria-live="assertive">cls</p>')
    send(page, planted)
    reply = last_reply(page)
    expect(reply).to_contain_text("here).", timeout=60_000)
    wait_idle(page)
    assert reply.locator("[id], [name], [style], [class]:not(.md-piece), [for], [form], [data-queued], [autofocus], "
                         "textarea, input, select, option, form, label, fieldset, button").count() == 0
    # Every id of the page is still its own element's, once.
    # (the empty conversation's hint is gone with the first message)
    assert sorted(page.evaluate("[...document.querySelectorAll('[id]')].map((n) => n.id)")) == \
        sorted(set(ids) - {"empty-hint"})
    send(page, "only what I typed")
    expect(last_reply(page)).to_contain_text("You said: only what I typed")
    expect(page.locator(".msg.user .text").last).to_have_text("only what I typed")
    wait_idle(page)
    # Even a control that got past the sanitizer, ahead of the page's own in
    # the document, is never the one the page reads.
    page.evaluate("""() => {
      const fake = document.createElement("textarea");
      fake.id = "composer-input";
      fake.value = "run: sh -c evil";
      const reply = document.querySelector(".msg.assistant .reply");
      reply.prepend(fake);
    }""")
    real = page.locator("#composer textarea")
    real.fill("still only what I typed")
    real.press("Enter")
    expect(page.locator(".msg.user .text").last).to_have_text("still only what I typed")
    expect(last_reply(page)).to_contain_text("You said: still only what I typed")


def test_a_page_whose_cookie_is_gone_shows_how_to_open_it(page):
    page.context.clear_cookies()
    page.fill("#composer-input", "sent without the token")
    page.click("#send-btn")
    expect(page.locator("#locked")).to_be_visible()
    expect(page.locator("#app")).to_be_hidden()
@pytest.fixture(scope="module")
def full_server(tmp_path_factory):
    """A host whose store holds many sessions and one long conversation."""
    from host_wire import standin_store
    home = tmp_path_factory.mktemp("full-home")
    db = standin_store(home)
    for n in range(130):
        db.append_message(f"many-{n:03d}", "user", f"question {n:03d} about walruses")
        db.set_session_title(f"many-{n:03d}", f"Walrus chat {n:03d}")
    db.append_message("tricky", "user", 'walruses <img src=x id="injected"> & <b>bold</b>')
    for n in range(300):
        db.append_message("long", "user" if n % 2 == 0 else "assistant", f"Message {n:03d}: " + "tusks " * 40)
    db.set_session_title("long", "A long conversation")
    srv = start_server("--engine", "standin", home=home)
    yield srv
    srv.stop()


def test_the_session_list_loads_more_as_it_scrolls_and_by_keyboard(browser, full_server):
    page = open_page(browser, full_server.url)
    try:
        items = page.locator(".session-item")
        expect(items).to_have_count(50)
        expect(page.locator("#sessions-label")).to_have_text("Sessions · 132")
        # With the keyboard: Down walks the rows, and walking on past the
        # last one loaded brings the next page.
        page.locator(".session-item .session-open").first.focus()
        for _ in range(60):
            page.keyboard.press("ArrowDown")
        wait_until(page, "() => !!document.activeElement.closest('.session-item')")
        at = page.evaluate("[...document.querySelectorAll('.session-item')]"
                           ".indexOf(document.activeElement.closest('.session-item'))")
        assert 50 <= at <= 60, at   # past the first page of 50 (rows 0-49)
        assert items.count() >= 100
        # Scrolling to the end of the list loads the rest.
        for _ in range(5):
            if page.locator(".list-more").count() == 0:
                break
            page.locator(".list-more").scroll_into_view_if_needed()
            time.sleep(0.3)
        expect(items).to_have_count(132)
        expect(page.locator(".list-more")).to_have_count(0)
        shot(page, "sessions-paged-desktop.png")
        ids = page.evaluate("[...document.querySelectorAll('.session-item')].map(li => li.dataset.id)")
        assert len(set(ids)) == 132 and ids[0] == "long" and ids[-1] == "many-000"

        # Search as one types: matches marked, markup in a message shown as text.
        page.fill("#session-search", "walrus")
        expect(page.locator("#sessions-label")).to_contain_text("Search results")
        expect(page.locator(".session-item .snippet mark").first).to_have_text("walruses")
        page.fill("#session-search", "walruses injected")
        tricky = page.locator('.session-item[data-id="tricky"] .snippet')
        expect(tricky).to_contain_text('<img src=x id="injected">')
        assert page.locator("#injected").count() == 0
        shot(page, "sessions-search-desktop.png")
        page.fill("#session-search", "")
        expect(items).to_have_count(132)   # back to every session loaded before
        assert csp_violations(page) == []
    finally:
        page.context.close()


def test_a_long_conversation_opens_on_its_newest_page_and_scrolls_back(browser, full_server):
    for size, name in ((DESKTOP, "desktop"), (PHONE, "phone")):
        page = open_page(browser, full_server.url + "/?s=long", size)
        try:
            messages = page.locator(".msg")
            expect(page.locator(".msg.assistant").last).to_contain_text("Message 299")
            assert messages.count() <= 80
            box = page.locator("#messages")
            wait_until(page, "() => { const b = document.querySelector('#messages');"
                             " return b.scrollHeight - b.scrollTop - b.clientHeight < 48; }")
            shot(page, f"history-newest-{name}.png")
            # Scrolling back to the top brings the earlier messages, and what
            # was in view stays in view.
            for _ in range(20):
                if page.locator(".load-older").count() == 0:
                    break
                anchor = messages.first
                anchor_text = anchor.text_content()
                box.evaluate("b => { b.scrollTop = 0; }")
                wait_until(page, "t => document.querySelector('.msg').textContent !== t", anchor_text)
                moved = page.locator(".msg", has_text=anchor_text[:12]).first.bounding_box()
                assert moved is not None and moved["y"] >= 0
            expect(page.locator(".msg").first).to_contain_text("Message 000")
            expect(messages).to_have_count(300)
            expect(page.locator(".load-older")).to_have_count(0)
            shot(page, f"history-oldest-{name}.png")
            assert csp_violations(page) == []
        finally:
            page.context.close()
    # A session far down the list, opened by its address, still has its name.
    page = open_page(browser, full_server.url + "/?s=many-000")
    try:
        expect(page.locator("#session-title")).to_have_text("Walrus chat 000")
        expect(page.locator(".msg.user")).to_contain_text("question 000 about walruses")
    finally:
        page.context.close()
