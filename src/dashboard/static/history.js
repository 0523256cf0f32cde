// Long conversations in pages: a session opens with its newest messages, and
// older ones are loaded as the reader scrolls back to the top (or presses
// "Earlier messages"). Uses the page's helpers (state.js, messages.js) at call time.
"use strict";

const History = (() => {
  const PAGE = 40;
  let session = null;     // the session whose older messages `next` points at
  let next = null;        // cursor of the next older page, or null
  let loading = false;
  let button = null;
  let observer = null;

  function url(sessionId, before) {
    const query = new URLSearchParams({ limit: String(PAGE) });
    if (before !== null && before !== undefined) query.set("before", before);
    return `/chat/history/${encodeURIComponent(sessionId)}?${query}`;
  }

  function firstPageUrl(sessionId) {
    return url(sessionId, null);
  }

  function watch() {
    if (observer) return;
    observer = new IntersectionObserver((entries) => {
      if (entries.some((e) => e.isIntersecting)) loadOlder(false);
    }, { root: document.getElementById("messages"), rootMargin: "600px 0px 0px 0px" });
  }

  function placeButton() {
    if (button) { observer.unobserve(button); button.remove(); }
    button = null;
    if (next === null) return;
    button = el("button", { type: "button", class: "load-older", text: "Earlier messages" });
    button.addEventListener("click", () => loadOlder(true));
    document.getElementById("messages").prepend(button);
    observer.observe(button);
  }

  // The first page is shown: remember where the older messages start.
  function loaded(sessionId, page) {
    watch();
    session = sessionId;
    next = page && page.next !== undefined ? page.next : null;
    placeButton();
    Sessions.knowTitle(sessionId);
  }

  async function loadOlder(byHand) {
    if (loading || next === null || session !== state.sessionId) return;
    loading = true;
    const sid = session;
    const box = document.getElementById("messages");
    let shown = false;
    try {
      const page = await api("GET", url(sid, next));
      if (sid !== state.sessionId) return;
      const holder = document.createElement("div");
      if (!(await renderHistory(page.messages || [], holder)) || sid !== state.sessionId) return;
      const height = box.scrollHeight;
      const top = box.scrollTop;
      const first = holder.firstElementChild;
      const after = button ? button.nextSibling : box.firstChild;
      const nodes = document.createDocumentFragment();
      nodes.append(...holder.childNodes);
      box.insertBefore(nodes, after);
      box.scrollTop = top + (box.scrollHeight - height);
      next = page.next !== undefined ? page.next : null;
      placeButton();
      shown = true;
      if (byHand && first) {
        first.setAttribute("tabindex", "-1");
        first.focus({ preventScroll: true });
      }
    } catch (e) {
      toast(`Could not load earlier messages: ${e.message}`);
    } finally {
      loading = false;
    }
    // Still at the top (a short page): go on until the view can scroll.
    if (shown && button && sid === state.sessionId && box.scrollTop < 600) loadOlder(false);
  }

  return { firstPageUrl, loaded, loadOlder, PAGE };
})();
