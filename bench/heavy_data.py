"""A heavy user's data: 5,000 sessions and 100,000 messages.

Fills the bundled engine's session store directly (one transaction; the
search index follows through its triggers), with one session of 2,000
messages, starts the host on it with the stand-in engine and measures over
HTTP on this machine:

  sessions   GET /sessions?limit=50: the first page, and every page of a walk
             through all 5,000 by cursor;
  search     GET /sessions/search as the page asks while the user types:
             common and rare words, prefixes, two words;
  history    GET /chat/history/{id}?limit=40 of the 2,000-message session:
             the newest page, and pages further back;
  page       Chromium opening that session from the loaded page (its newest
             page, then scrolling back three pages) and scrolling the session
             list through 10 pages, counting the page's long tasks (Long
             Tasks API, > 50 ms).

Usage:  .venv/bin/python bench/heavy_data.py [--rounds 200] [--no-write]
        (after scripts/test or scripts/bench has installed the package)

The figures are printed and written to the "## Heavy data" section of
bench/RESULTS.md (the rest of that file is left as it is).
"""
from __future__ import annotations

import argparse
import datetime
import importlib.util
import os
import pathlib
import random
import shutil
import statistics
import sys
import tempfile
import time
import urllib.parse
import urllib.request
import json

BENCH = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
from page_render import CHROMIUM, FLAGS, OBSERVER, TOKEN, long_tasks, start_host, stop_host  # noqa: E402
from results import write_section  # noqa: E402

SECTION = "## Heavy data"
SESSIONS, MESSAGES, LONG = 5_000, 100_000, 2_000


def standin_store(home: pathlib.Path):
    spec = importlib.util.find_spec("dashboard")
    assert spec is not None and spec.submodule_search_locations
    path = pathlib.Path(list(spec.submodule_search_locations)[0]) / "standin" / "korvel_state.py"
    loader = importlib.util.spec_from_file_location("bench_korvel_state", path)
    module = importlib.util.module_from_spec(loader)
    loader.loader.exec_module(module)
    return module.SessionDB(db_path=home / ".korvel" / "state.db")


def vocabulary(rng: random.Random, size: int = 6000) -> list:
    syllables = ["ka", "lo", "mi", "ne", "ru", "ta", "vi", "so", "pe", "du", "ran", "tel", "mor", "wen",
                 "sil", "bar", "qui", "zo", "fen", "gal"]
    words = set()
    while len(words) < size:
        words.add("".join(rng.choice(syllables) for _ in range(rng.randint(1, 4))))
    common = ["the", "a", "and", "to", "of", "is", "in", "it", "you", "that", "for", "with", "this", "code",
              "file", "error", "python", "function", "data", "test"]
    return common * 40 + sorted(words)


def text(rng: random.Random, words: list, n: int, markdown: bool) -> str:
    body = " ".join(rng.choice(words) for _ in range(n))
    if not markdown:
        return body
    cut = len(body) // 2
    return (f"## {rng.choice(words).title()}\n\n{body[:cut]}\n\n- {rng.choice(words)}\n- {rng.choice(words)}\n\n"
            f"```python\ndef {rng.choice(words)}(x):\n    return x + 1\n```\n\n{body[cut:]}")


def fill(home: pathlib.Path) -> dict:
    rng = random.Random(25)
    words = vocabulary(rng)
    db = standin_store(home)
    started = time.perf_counter()
    now = time.time()
    per, extra = divmod(MESSAGES - LONG, SESSIONS - 1)
    sessions, messages = [], []
    for s in range(SESSIONS):
        sid = "long-session" if s == SESSIONS // 2 else f"bench-{s:05d}"
        others_before = s if s < SESSIONS // 2 else s - 1
        count = LONG if sid == "long-session" else per + (1 if others_before < extra else 0)
        # Spread over a year of use.
        last = now - (SESSIONS - s) * 6000.0 - rng.random() * 100
        first = last - count * 60.0
        sessions.append((sid, " ".join(rng.choice(words) for _ in range(rng.randint(2, 6))).capitalize(),
                         "zalix", "standin/echo-1", first, last))
        for m in range(count):
            role = "user" if m % 2 == 0 else "assistant"
            body = text(rng, words, rng.randint(8, 40) if role == "user" else rng.randint(40, 160),
                        markdown=role == "assistant" and m % 4 == 1)
            messages.append((sid, role, body, first + m * 60.0))
    with db._lock, db._conn:
        db._conn.executemany("INSERT INTO sessions (id, title, source, model, created_at, updated_at)"
                             " VALUES (?, ?, ?, ?, ?, ?)", sessions)
        db._conn.executemany("INSERT INTO messages (session_id, role, content, created_at) VALUES (?, ?, ?, ?)",
                             messages)
    took = time.perf_counter() - started
    size = (home / ".korvel" / "state.db").stat().st_size
    db.close()
    return {"seconds": took, "bytes": size, "messages": len(messages), "words": words}


def timed_get(url: str) -> tuple:
    t0 = time.perf_counter()
    req = urllib.request.Request(url, headers={"Authorization": f"Bearer {TOKEN}"})
    with urllib.request.urlopen(req, timeout=60) as r:
        body = json.loads(r.read())
    return (time.perf_counter() - t0) * 1000, body


def pct(values: list, p: float) -> float:
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def http_rounds(url: str, rounds: int, words: list) -> dict:
    out: dict = {}
    first = [timed_get(f"{url}/sessions?limit=50")[0] for _ in range(rounds)]
    out["first page"] = first
    walk, cursor, seen = [], None, 0
    while True:
        q = "&cursor=" + urllib.parse.quote(cursor) if cursor else ""
        ms, body = timed_get(f"{url}/sessions?limit=50{q}")
        walk.append(ms)
        seen += len(body["sessions"])
        cursor = body["next"]
        if not cursor:
            break
    out["walk"] = walk
    out["walked"] = seen
    rng = random.Random(7)
    rare = [w for w in words[800:] if len(w) > 5]
    queries = (["the", "code", "python function", "error data", "te", "fil"]
               + [rng.choice(rare) for _ in range(10)] + [rng.choice(rare)[:3] for _ in range(6)]
               + [f"{rng.choice(rare)} {rng.choice(words)}" for _ in range(6)])
    search = []
    for i in range(rounds):
        q = queries[i % len(queries)]
        search.append(timed_get(f"{url}/sessions/search?q={urllib.parse.quote(q)}&limit=100")[0])
    out["search"] = search
    out["queries"] = len(queries)
    newest = [timed_get(f"{url}/chat/history/long-session?limit=40")[0] for _ in range(rounds)]
    out["history newest"] = newest
    back = []
    for i in range(rounds):
        before = 40 * (1 + i % 49)
        back.append(timed_get(f"{url}/chat/history/long-session?limit=40&before={before}")[0])
    out["history back"] = back
    return out


def page_rounds(url: str, rounds: int) -> dict:
    from playwright.sync_api import sync_playwright
    out: dict = {"open": [], "scroll back": [], "sidebar": []}
    with sync_playwright() as pw:
        browser = pw.chromium.launch(executable_path=CHROMIUM, args=FLAGS, headless=True)
        for _ in range(rounds):
            context = browser.new_context(viewport={"width": 1280, "height": 800})
            # The host's cookie, as opening its printed address sets it.
            port = urllib.parse.urlsplit(url).port
            context.add_cookies([{"name": f"korvel_dashboard_{port}", "value": TOKEN,
                                  "url": f"http://127.0.0.1:{port}/", "httpOnly": True, "sameSite": "Strict"}])
            context.add_init_script(OBSERVER)
            page = context.new_page()
            page.set_default_timeout(120_000)
            page.goto(url + "/")
            page.wait_for_selector("body[data-ready='1']")
            page.wait_for_timeout(1000)
            # Opened as a click on its row opens it (the page's own load is not counted).
            page.evaluate("window.__long = []; selectSession('long-session')")
            page.wait_for_selector(".load-older")
            page.wait_for_timeout(1000)
            out["open"].append(long_tasks(page))
            page.evaluate("window.__long = []")
            for n in range(3):
                count = page.locator(".msg").count()
                page.locator("#messages").evaluate("b => { b.scrollTop = 0; }")
                page.wait_for_function("(n) => document.querySelectorAll('.msg').length > n", arg=count)
                page.wait_for_timeout(300)
            out["scroll back"].append(long_tasks(page))
            page.evaluate("window.__long = []")
            for n in range(10):
                count = page.locator(".session-item").count()
                page.locator(".list-more").scroll_into_view_if_needed()
                page.wait_for_function("(n) => document.querySelectorAll('.session-item').length > n", arg=count)
            page.wait_for_timeout(300)
            out["sidebar"].append(long_tasks(page))
            out["rows"] = page.locator(".session-item").count()
            context.close()
        out["version"] = browser.version
        browser.close()
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=200, help="requests per HTTP measure")
    ap.add_argument("--page-rounds", type=int, default=3)
    ap.add_argument("--no-write", action="store_true", help="print only; leave bench/RESULTS.md alone")
    args = ap.parse_args()
    load_before = os.getloadavg()[0]
    home = pathlib.Path(tempfile.mkdtemp(prefix="heavy-bench-"))
    try:
        filled = fill(home)
        print(f"filled {SESSIONS:,} sessions / {filled['messages']:,} messages in {filled['seconds']:.1f} s "
              f"({filled['bytes'] / 1e6:.0f} MB)", flush=True)
        proc, url = start_host(home)
        try:
            timed_get(f"{url}/sessions/search?q=warm")  # the first query opens the index
            http = http_rounds(url, args.rounds, filled["words"])
            page = page_rounds(url, args.page_rounds)
        finally:
            stop_host(proc)
    finally:
        shutil.rmtree(home, ignore_errors=True)

    def row(name, values, target=None):
        p50, p95 = pct(values, 50), pct(values, 95)
        met = "" if target is None else (" | yes" if p95 <= target else " | no")
        return f"| {name} | {p50:.1f} ms | {p95:.1f} ms | {max(values):.1f} ms | {len(values)}{met or ' | '} |"

    def tasks(name, rounds):
        longest = max((max(r, default=0.0) for r in rounds), default=0.0)
        counts = ", ".join(str(len(r)) for r in rounds)
        return (f"| {name} | {counts} | {f'{longest:.0f} ms' if longest else 'none over 50 ms'} | "
                f"{'yes' if not longest else 'no'} |")

    lines = [SECTION, "",
             f"`.venv/bin/python bench/heavy_data.py` ({datetime.date.today().isoformat()}, "
             f"{os.cpu_count()} cores, Python {sys.version.split()[0]}, SQLite "
             f"{__import__('sqlite3').sqlite_version}, Chromium {page['version']}, load average "
             f"{load_before:.1f} before and {os.getloadavg()[0]:.1f} after the run from other work on the "
             f"machine). The store: {SESSIONS:,} sessions and {filled['messages']:,} messages (one session of "
             f"{LONG:,}; user messages of 8-40 words, replies of 40-160, every other reply with a heading, "
             f"a list and a code block), {filled['bytes'] / 1e6:.0f} MB with its search index, written in "
             f"{filled['seconds']:.1f} s. Times are whole HTTP requests from this machine.", "",
             "| Request | p50 | p95 | max | requests | p95 within 100 ms |", "|---|---|---|---|---|---|",
             row("`/sessions?limit=50`, first page", http["first page"], 100),
             row(f"`/sessions?limit=50&cursor=…`, every page of a walk ({http['walked']:,} sessions)",
                 http["walk"], 100),
             row(f"`/sessions/search` ({http['queries']} queries: common and rare words, prefixes, two words)",
                 http["search"], 100),
             row("`/chat/history/{id}?limit=40`, the newest page of 2,000 messages", http["history newest"], 100),
             row("`/chat/history/{id}?limit=40&before=…`, pages further back", http["history back"], 100),
             "", "| Page (Chromium, 1280×800) | long tasks per round | longest | none over 50 ms |",
             "|---|---|---|---|",
             tasks("opening the 2,000-message session (its newest 40)", page["open"]),
             tasks("scrolling it back three pages", page["scroll back"]),
             tasks(f"scrolling the session list through 10 pages (to {page['rows']} rows)", page["sidebar"]),
             "", "Search is SQLite FTS5 (bm25 ranking, `snippet()` around the match) over titles and the "
                 "user's and assistant's messages; its index follows every write through triggers. The "
                 "history is cut into pages from the session's whole stored conversation, read for each "
                 "request."]
    print("\n".join(lines))
    if not args.no_write:
        write_section(SECTION, "\n".join(lines))


if __name__ == "__main__":
    main()
