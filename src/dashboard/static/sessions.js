// The session list: pages of sessions loaded as the list is scrolled (or
// with the keyboard), the total, and search as the user types. Rows are
// built by sessionRow() below; only rows that changed are rebuilt, so a
// list of thousands of sessions stays quick. Below the list: its rows,
// rename and delete, the address, opening a session or a new chat, and the
// drawer. Uses the page's helpers (state.js, dialogs.js) at call time.
"use strict";

const Sessions = (() => {
  const PAGE = 50;
  const REFRESH_MOST = 500;      // a refresh reloads at most this many rows from the top
  const SEARCH_DELAY_MS = 200;
  const MARGIN = 300;            // px below the list's view where loading more starts

  let rows = [];                 // loaded sessions, newest first
  let next = null;               // cursor of the next page, or null
  let total = null;
  let found = null;              // search results while searching
  let loading = false;
  let searchTimer = 0;
  let searching = null;          // AbortController of the search in flight
  let refreshSeq = 0;
  let more = null;               // the "more sessions" row at the end of the list
  let observer = null;
  const nodes = new Map();       // session id -> [signature, li]

  const list = () => document.getElementById("session-list");
  const query = () => state.search.trim();

  // -- loading ----------------------------------------------------------------

  async function refresh() {
    const seq = ++refreshSeq;
    const q = query();
    if (q) return search(q, seq);
    found = null;
    const limit = Math.min(REFRESH_MOST, Math.max(PAGE, rows.length));
    let data;
    try {
      data = await api("GET", `/sessions?limit=${limit}`);
    } catch (_) {
      return;
    }
    if (seq !== refreshSeq || query()) return;
    const fresh = (data.sessions || []).slice();
    const last = fresh[fresh.length - 1];
    // Rows loaded further down than the refresh reached stay, and so does
    // the walk that loads more below them.
    const have = new Set(fresh.map((s) => s.session_id));
    const below = data.next && last
      ? rows.filter((s) => !have.has(s.session_id) && older(s, last)) : [];
    rows = fresh.concat(below);
    if (!below.length) next = data.next || null;
    total = typeof data.total === "number" ? data.total : null;
    render();
    fillIfShort();
  }

  function older(a, b) {
    const ta = Number(a.updated_at) || 0;
    const tb = Number(b.updated_at) || 0;
    return ta < tb || (ta === tb && a.session_id < b.session_id);
  }

  // The open session's title when the list has not loaded it (a session far
  // down the list, opened by its address).
  async function knowTitle(sessionId) {
    if (state.titles.get(sessionId)) return;
    try {
      const info = await api("GET", `/sessions/${encodeURIComponent(sessionId)}`);
      if (info && info.title) setTitle(sessionId, info.title);
    } catch (_) { /* the header keeps its name */ }
  }

  // A session deleted here: gone from the list at once, wherever it was.
  function forget(sessionId) {
    rows = rows.filter((s) => s.session_id !== sessionId);
    if (found) found = found.filter((s) => s.session_id !== sessionId);
    if (total !== null) total = Math.max(0, total - 1);
  }

  async function loadMore() {
    if (loading || !next || found) return;
    loading = true;
    const seq = refreshSeq;
    const had = rows.length;
    try {
      const data = await api("GET", `/sessions?limit=${PAGE}&cursor=${encodeURIComponent(next)}`);
      if (seq !== refreshSeq || found) return;
      const have = new Set(rows.map((s) => s.session_id));
      for (const s of data.sessions || []) if (!have.has(s.session_id)) rows.push(s);
      next = data.next || null;
      if (typeof data.total === "number") total = data.total;
      // The "More sessions" button has the focus: the first new row takes it.
      const fromButton = !!(document.activeElement && document.activeElement.classList.contains("load-more"));
      render();
      if (fromButton && rows[had]) {
        const row = list().querySelector(`.session-item[data-id="${CSS.escape(rows[had].session_id)}"] .session-open`);
        if (row) row.focus();
      }
    } catch (e) {
      if (e.status === 410) { rows = []; next = null; refresh(); return; }   // the listing is too old: start again
      toast(`Could not load more sessions: ${e.message}`);
      return;
    } finally {
      loading = false;
    }
    fillIfShort();
  }

  // The end of the list is (still) near the view: load on. The observer
  // only tells when the end comes near, not that it stayed there.
  function fillIfShort() {
    if (!more || !more.isConnected || !next || found) return;
    const box = list().getBoundingClientRect();
    if (box.height > 0 && more.getBoundingClientRect().top < box.bottom + MARGIN) loadMore();
  }

  function typed(value) {
    state.search = value;
    clearTimeout(searchTimer);
    searchTimer = setTimeout(() => refresh(), SEARCH_DELAY_MS);
  }

  async function search(q, seq) {
    if (searching) searching.abort();   // its answer is no longer wanted
    const mine = new AbortController();
    searching = mine;
    let data;
    try {
      data = await api("GET", `/sessions/search?q=${encodeURIComponent(q)}&limit=100`, undefined, mine.signal);
    } catch (e) {
      if (e.name !== "AbortError" && seq === refreshSeq) toast(`Search failed: ${e.message}`);
      return;
    } finally {
      if (searching === mine) searching = null;
    }
    if (seq !== refreshSeq || query() !== q) return;
    found = data.sessions || [];
    render();
  }

  // -- showing ----------------------------------------------------------------

  // Matched pieces highlighted; with `lead`, the text before the first match
  // is cut to its last `lead` characters, so the match is in view.
  function marked(target, parts, lead = 0) {
    if (!target || !Array.isArray(parts) || !parts.length) return;
    const first = parts.findIndex((p) => p.match);
    target.replaceChildren(...parts.map((p, i) => {
      let text = String(p.text);
      if (lead && i < first) {
        const before = parts.slice(i, first).reduce((n, q) => n + String(q.text).length, 0);
        const keep = Math.max(0, lead - (before - text.length));
        if (before > lead) text = (i === 0 ? "…" : "") + (keep ? text.slice(-keep) : "");
      }
      return p.match ? el("mark", { text }) : document.createTextNode(text);
    }));
  }

  function labelRows(shown) {
    // Alike titles get a number (oldest first); untitled chats keep the one name.
    const counts = new Map();
    for (const s of shown) {
      const title = (s.title || state.titles.get(s.session_id) || NEW_CHAT).trim();
      counts.set(title.toLowerCase(), (counts.get(title.toLowerCase()) || 0) + 1);
    }
    const seen = new Map();
    for (let i = shown.length - 1; i >= 0; i--) {
      const s = shown[i];
      const title = (s.title || state.titles.get(s.session_id) || NEW_CHAT).trim();
      const key = title.toLowerCase();
      s._number = 0;
      if (counts.get(key) > 1 && (s.title || state.titles.get(s.session_id))) {
        const n = (seen.get(key) || 0) + 1;
        seen.set(key, n);
        s._label = `${title} (${n})`;
        s._number = n;
      } else s._label = title;
      s._title = title;
    }
  }

  function signature(s) {
    return JSON.stringify([s._label, s._number, s.session_id === state.sessionId, when(s.updated_at),
      state.states.get(s.session_id) || "",
      s.snippet || "", s.snippet_parts || null, s.title_parts || null]);
  }

  function render() {
    const q = query();
    const shown = (found || rows).map((s) => ({ ...s }));
    if (!found && state.sessionId && !shown.some((s) => s.session_id === state.sessionId)) {
      shown.unshift({ session_id: state.sessionId, title: state.titles.get(state.sessionId) || "", updated_at: Date.now() / 1000 });
    }
    for (const s of shown) if (s.title) state.titles.set(s.session_id, s.title);
    labelRows(shown);
    const ul = list();
    const focused = document.activeElement && document.activeElement.closest(".session-item");
    const focusKey = focused ? [focused.dataset.id, document.activeElement.dataset.role] : null;
    const keep = new Set();
    let at = ul.firstElementChild;
    for (const s of shown) {
      const sig = signature(s);
      let entry = nodes.get(s.session_id);
      const renaming = entry && entry[1].querySelector(".rename-input");   // left as it is
      if (!renaming && (!entry || entry[0] !== sig)) {
        const li = sessionRow(s);
        marked(li.querySelector(".snippet"), s.snippet_parts, 24);
        marked(li.querySelector(".title"), s.title_parts);
        if (entry) {
          if (at === entry[1]) at = li;
          entry[1].replaceWith(li);
        }
        entry = [sig, li];
        nodes.set(s.session_id, entry);
      }
      keep.add(s.session_id);
      const li = entry[1];
      if (li !== at) ul.insertBefore(li, at);
      else at = at.nextElementSibling;
    }
    for (const [id, entry] of nodes) {
      if (!keep.has(id)) { entry[1].remove(); nodes.delete(id); }
    }
    placeMore(!found && next);
    const label = document.getElementById("sessions-label");
    if (found) label.textContent = `Search results · ${found.length}${found.length >= 100 ? "+" : ""}`;
    else label.textContent = total !== null ? `Sessions · ${total.toLocaleString()}` : "Sessions";
    document.getElementById("search-empty").hidden = !(q && found && found.length === 0);
    if (focusKey && !(document.activeElement && document.activeElement.closest(".session-item"))) {
      const again = ul.querySelector(`.session-item[data-id="${CSS.escape(focusKey[0])}"] [data-role="${focusKey[1]}"]`);
      if (again) again.focus();
    }
    if (state.sessionId) setTitle(state.sessionId, state.titles.get(state.sessionId) || "");
  }

  function placeMore(show) {
    const ul = list();
    if (!observer) {
      observer = new IntersectionObserver((entries) => {
        if (entries.some((e) => e.isIntersecting)) loadMore();
      }, { root: ul, rootMargin: `0px 0px ${MARGIN}px 0px` });
    }
    if (!show) { if (more) more.remove(); return; }
    if (!more) {
      const button = el("button", { type: "button", class: "load-more" });
      button.addEventListener("click", () => loadMore());
      more = el("li", { class: "list-more" }, button);
      observer.observe(more);
    }
    const left = total !== null ? Math.max(0, total - rows.length) : null;
    more.firstChild.textContent = left ? `More sessions (${left.toLocaleString()} older)` : "More sessions";
    if (ul.lastElementChild !== more) ul.append(more);
  }

  // Up and Down move between the sessions; reaching the end loads more.
  function onKey(e) {
    if (e.key !== "ArrowDown" && e.key !== "ArrowUp") return;
    const current = e.target.closest && e.target.closest(".session-item, .list-more");
    if (!current || e.target.classList.contains("rename-input")) return;
    e.preventDefault();
    let item = e.key === "ArrowDown" ? current.nextElementSibling : current.previousElementSibling;
    if (!item) return;
    const target = item.querySelector(".session-open, .load-more");
    if (target) target.focus();
    if (item.nextElementSibling === more || item === more) loadMore();
  }

  function setup() {
    const input = document.getElementById("session-search");
    input.addEventListener("input", (e) => typed(e.target.value));
    list().addEventListener("keydown", onKey);
  }

  // Another profile's list: nothing of this one is kept.
  function forgetAll() {
    rows = [];
    found = null;
    next = null;
    total = null;
  }

  const has = (id) => rows.some((s) => s.session_id === id);

  return { refresh, loadMore, forget, forgetAll, knowTitle, render, setup, has };
})();

// -- the open chat: rows of the list, rename, delete, the address ------------



// The list itself, its pages and search live in sessions.js.
function refreshSessions() {
  return Sessions.refresh();
}

function sessionRow(s) {
  const active = s.session_id === state.sessionId;
  const label = s._label;
  const item = el("li", { class: "session-item" + (active ? " active" : ""), "data-id": s.session_id });
  const open = el("button", { type: "button", class: "session-open", "data-role": "open", "aria-current": active ? "page" : null,
    title: `${label}${s.updated_at ? " · last used " + fullTime(s.updated_at) : ""}` },
  el("span", { class: "title", text: s._title }), " ",
  el("span", { class: "meta" },
    s._number ? el("span", { class: "nth", text: `#${s._number}` }) : null, s._number ? " " : null,
    when(s.updated_at) ? `Last used ${when(s.updated_at)}` : ""),
  sessionMarker(s.session_id),
  s.snippet ? " " : null,
  s.snippet ? el("span", { class: "snippet", text: s.snippet }) : null);
  open.addEventListener("click", () => { closeDrawer(); selectSession(s.session_id); });
  const rename = el("button", { type: "button", class: "row-btn", "data-role": "rename", "aria-label": `Rename ${label}`, title: "Rename" }, icon("rename"));
  rename.addEventListener("click", () => startRename(item, s, label));
  const del = el("button", { type: "button", class: "row-btn", "data-role": "delete", "aria-label": `Delete ${label}`, title: "Delete" }, icon("delete"));
  del.addEventListener("click", () => deleteSession(s, label));
  item.append(open, rename, del);
  return item;
}

// A chat not open here that works or waits for an approval says so.
function sessionMarker(sessionId) {
  const now = state.states.get(sessionId);
  if (!now || now === "idle" || sessionId === state.sessionId) return null;
  const text = now === "awaiting_approval" ? "awaiting approval" : now === "waiting" ? "waiting" : "working";
  return el("span", { class: `state-badge ${now}`, text });
}

function startRename(item, s, label) {
  const input = el("input", { class: "rename-input", type: "text", value: s.title || "", "aria-label": `New name for ${label}`, maxlength: "200" });
  const open = item.querySelector(".session-open");
  open.hidden = true;
  item.insertBefore(input, open);
  input.focus();
  input.select();
  let finished = false;
  const finish = async (save) => {
    if (finished) return;
    finished = true;
    const title = input.value.trim();
    input.remove();
    open.hidden = false;
    if (save && title && title !== s.title) {
      try {
        await api("PATCH", `/sessions/${encodeURIComponent(s.session_id)}`, { title });
        state.titles.set(s.session_id, title);
        if (s.session_id === state.sessionId) setTitle(s.session_id, title);
      } catch (e) {
        toast(`Could not rename the session: ${e.message}`);
      }
    }
    await refreshSessions();
    const again = document.querySelector(`.session-item[data-id="${CSS.escape(s.session_id)}"] .session-open`);
    if (again) again.focus();
  };
  input.addEventListener("keydown", (e) => {
    if (e.key === "Enter") { e.preventDefault(); finish(true); }
    else if (e.key === "Escape") { e.preventDefault(); finish(false); }
  });
  input.addEventListener("blur", () => finish(true));
}

// Chats this tab is deleting (their deletion is not news to it).
const deletingHere = new Set();

async function deleteSession(s, label) {
  const ok = await ask({ title: "Delete this chat?", text: `“${label}” and all its messages will be deleted. This cannot be undone.`,
    okLabel: "Delete", danger: true, field: false });
  if (!ok) return;
  // The host tells every tab of the deletion; this one says it its own way.
  deletingHere.add(s.session_id);
  try {
    await api("DELETE", `/sessions/${encodeURIComponent(s.session_id)}`);
  } catch (e) {
    deletingHere.delete(s.session_id);
    toast(`Could not delete the session: ${e.message}`);
    return;
  }
  state.titles.delete(s.session_id);
  rememberDeleted(s.session_id);
  Sessions.forget(s.session_id);
  if (s.session_id === state.sessionId) newChat();
  await refreshSessions();
  toast(`Deleted “${label}”.`, "info");
}

// Chats deleted in this tab: Back to one says so instead of an empty view.
const DELETED = "korvel-deleted";

function deletedIds() {
  try { return JSON.parse(sessionStorage.getItem(DELETED) || "[]"); } catch (_) { return []; }
}

function rememberDeleted(sessionId) {
  const ids = deletedIds().filter((id) => id !== sessionId);
  ids.push(sessionId);
  try { sessionStorage.setItem(DELETED, JSON.stringify(ids.slice(-200))); } catch (_) { /* not kept */ }
}

function sessionFromUrl() {
  return new URLSearchParams(location.search).get("s");
}

function setUrl(sessionId, push) {
  const url = sessionId ? `/?s=${encodeURIComponent(sessionId)}` : "/";
  if (location.pathname + location.search === url) return;
  if (push) history.pushState({ s: sessionId }, "", url);
  else history.replaceState({ s: sessionId }, "", url);
}

function selectSession(sessionId, push = true) {
  closeStream();
  state.sessionId = sessionId;
  state.running = false;
  state.pending = 0;
  setUrl(sessionId, push);
  setBusy();
  clearMessages();
  for (const item of document.querySelectorAll(".session-item")) {
    const on = item.dataset.id === sessionId;
    item.classList.toggle("active", on);
    const open = item.querySelector(".session-open");
    if (on) open.setAttribute("aria-current", "page"); else open.removeAttribute("aria-current");
  }
  if (deletedIds().includes(sessionId)) {
    $("#session-title").textContent = "Deleted chat";
    document.title = "Deleted chat · Korvel chat";
    $("#empty-hint").textContent = "This chat was deleted. Start a new chat, or open another one from the list.";
    $("#empty-hint").classList.add("gone");
    state.sessionId = null;   // a message written here starts a new chat
    return;
  }
  setTitle(sessionId, state.titles.get(sessionId) || "");
  openStream(sessionId);
}

function newChat(push = true) {
  closeStream();
  state.sessionId = null;
  state.running = false;
  state.pending = 0;
  clearMessages();
  setBusy();
  setUrl(null, push);
  $("#session-title").textContent = NEW_CHAT;
  document.title = "Korvel chat";
  for (const item of document.querySelectorAll(".session-item")) {
    item.classList.remove("active");
    item.querySelector(".session-open").removeAttribute("aria-current");
  }
  closeDrawer();
  $("#composer-input").focus();
}

// -- the drawer on narrow screens ---------------------------------------------------

function openDrawer() {
  document.body.classList.add("drawer-open");
  $("#scrim").hidden = false;
  $("#drawer-open").setAttribute("aria-expanded", "true");
  $("#new-chat").focus();
}

function closeDrawer() {
  if (!document.body.classList.contains("drawer-open")) return;
  document.body.classList.remove("drawer-open");
  $("#scrim").hidden = true;
  $("#drawer-open").setAttribute("aria-expanded", "false");
  $("#drawer-open").focus();
}
