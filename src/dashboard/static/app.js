// The chat page: sessions, the session's live event stream, replies placed
// under their own question, approvals, stop, images, model and profile
// pickers, and the install screen.
"use strict";

// The page's own elements, each taken once by its id before any reply is on
// the page: nothing a reply carries can stand in for one of them.
const PAGE = new Map([...document.querySelectorAll("[id]")].map((node) => [`#${node.id}`, node]));
const $ = (sel) => PAGE.get(sel) || null;

const STREAM_TYPES = ["sync", "turn_started", "delta", "reasoning_delta", "reasoning", "thinking",
  "tool_started", "tool_completed", "status", "approval_required", "approval_resolved", "error",
  "turn_ended", "busy", "queue", "title_updated", "stop_requested"];
const NEW_CHAT = "New chat";

const state = {
  sessionId: null,      // the open session (null: a new chat not sent yet)
  titles: new Map(),    // session id -> title
  es: null,             // EventSource of the open session
  lastEventId: "",      // id of the last record applied, to resume after a drop
  retry: 0,             // timer of a manual reconnect
  retryDelay: 1000,
  buffer: null,         // records that arrive while the view is rebuilt
  turns: new Map(),     // turn id -> turn (see newTurn)
  current: null,        // the turn whose records arrive now
  running: false,
  pending: 0,
  attachments: [],      // {id, url, name} of uploaded images for the next message
  follow: true,         // keep the newest message in view
  pinned: 0,            // where the page last scrolled the view to
  search: "",
  rebuilds: 0,          // times the view was rebuilt from the history
  renderInto: null,     // holder of an older page of history being laid out
  quiet: false,         // no scrolling while a page of history is laid out
  turnIds: false,       // the host tags records with client ids (and cancels queued turns)
  routes: false,        // the host has /permissions, /chat/export and /events
  states: new Map(),    // session id -> "working" | "awaiting_approval" | "waiting" (from /events)
  events: null,         // EventSource of /events
};

// -- small helpers -----------------------------------------------------------

function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === "class") node.className = v;
    else if (k === "text") node.textContent = v;
    else if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
    else if (v !== undefined && v !== null && v !== false) node.setAttribute(k, v === true ? "" : v);
  }
  for (const c of children) if (c) node.append(c);
  return node;
}

async function api(method, path, body, signal) {
  const opts = { method, headers: {}, signal };
  if (body instanceof FormData) opts.body = body;
  else if (body !== undefined) {
    opts.headers["Content-Type"] = "application/json";
    opts.body = JSON.stringify(body);
  }
  let res;
  try {
    res = await fetch(path, opts);
  } catch (e) {
    if (e && e.name === "AbortError") throw e;
    hostAway();
    throw new Error("the dashboard cannot be reached; is it still running?");
  }
  let data = null;
  try { data = await res.json(); } catch (_) { /* empty body */ }
  if (res.status === 401) showLocked();
  if (!res.ok) {
    const err = new Error((data && data.detail) || `${res.status} ${res.statusText}`);
    err.status = res.status;
    throw err;
  }
  return data;
}

const ICONS = {
  rename: "M4 20h4L19 9l-4-4L4 16v4zM14 6l4 4",
  delete: "M5 7h14M10 7V4h4v3M7 7l1 13h8l1-13M10 11v6M14 11v6",
};

function icon(name) {
  const ns = "http://www.w3.org/2000/svg";
  const svg = document.createElementNS(ns, "svg");
  svg.setAttribute("viewBox", "0 0 24 24");
  svg.setAttribute("width", "16");
  svg.setAttribute("height", "16");
  svg.setAttribute("aria-hidden", "true");
  const path = document.createElementNS(ns, "path");
  path.setAttribute("d", ICONS[name]);
  path.setAttribute("fill", "none");
  path.setAttribute("stroke", "currentColor");
  path.setAttribute("stroke-width", "2");
  path.setAttribute("stroke-linecap", "round");
  path.setAttribute("stroke-linejoin", "round");
  svg.append(path);
  return svg;
}

function textOf(content) {
  if (typeof content === "string") return content;
  if (Array.isArray(content)) return content.map((p) => (p && typeof p.text === "string" ? p.text : "")).join("");
  return "";
}

function uploadUrl(id) {
  return `/chat/upload/${encodeURIComponent(id)}`;
}


// -- messages to the person: toasts, the banner, the screen reader ------------

// A toast leaves by itself (an error after longer), but not while the
// pointer is on it or the focus in it.
function toast(message, kind = "error") {
  const close = el("button", { type: "button", "aria-label": "Dismiss", text: "✕" });
  const node = el("div", { class: `toast ${kind}`, role: kind === "error" ? "alert" : "status" },
    el("div", { class: "toast-text", text: message }), close);
  const remove = () => { clearTimeout(timer); node.remove(); };
  const stay = kind === "error" ? 12000 : 5000;
  let timer = 0;
  const later = () => { clearTimeout(timer); timer = setTimeout(remove, stay); };
  const hold = () => clearTimeout(timer);
  const held = () => node.matches(":hover") || node.contains(document.activeElement);
  close.addEventListener("click", remove);
  node.addEventListener("mouseenter", hold);
  node.addEventListener("focusin", hold);
  node.addEventListener("mouseleave", () => { if (!held()) later(); });
  node.addEventListener("focusout", (e) => { if (!node.contains(e.relatedTarget) && !node.matches(":hover")) later(); });
  $("#toasts").append(node);
  later();
  return node;
}

// "Reconnecting…" shows once, in every view, while the host cannot be
// reached (a request failed) or the open session's stream is down.
const link = { away: false, streamDown: false, timer: 0 };
const RECONNECTING = "Reconnecting… the dashboard cannot be reached right now.";

function showLink() {
  const b = $("#banner");
  const down = link.away || link.streamDown;
  b.hidden = !down;
  b.textContent = down ? RECONNECTING : "";
}

function banner(text) {
  link.streamDown = !!text;
  showLink();
}

function hostAway() {
  link.away = true;
  showLink();
  if (!link.timer) link.timer = setTimeout(checkHost, 1500);
}

async function checkHost() {
  link.timer = 0;
  let ok = false;
  try { ok = (await fetch("/health", { cache: "no-store" })).ok; } catch (_) { ok = false; }
  link.away = !ok;
  showLink();
  if (!ok) link.timer = setTimeout(checkHost, 2000);
}

// A dropped connection that may be only this stream's: the banner shows
// once the host itself does not answer.
function suspectHost() {
  if (!link.timer) link.timer = setTimeout(checkHost, 0);
}

// Without a session stream (a new chat), the host is looked at now and then.
function watchHost() {
  setInterval(() => {
    if (!document.hidden && !state.es && !state.events && !link.timer && document.body.dataset.ready === "1"
        && $("#locked").hidden) checkHost();
  }, 5000);
}

// Only finished replies and approval requests are read out, never each word.
function announce(text) {
  const a = $("#announcer");
  a.textContent = "";
  setTimeout(() => { a.textContent = text; }, 50);
}

// A dialog in the page instead of alert()/prompt()/confirm().
function ask({ title, text = "", label = "", value = "", okLabel = "OK", danger = false, field = true, validate }) {
  const dlg = $("#dialog");
  $("#dialog-title").textContent = title;
  $("#dialog-text").textContent = text;
  $("#dialog-text").hidden = !text;
  $("#dialog-field").hidden = !field;
  $("#dialog-label").textContent = label;
  $("#dialog-error").textContent = "";
  const input = $("#dialog-input");
  input.value = value;
  const ok = $("#dialog-ok");
  ok.textContent = okLabel;
  ok.className = danger ? "danger" : "primary";
  return new Promise((resolve) => {
    const done = (result) => {
      dlg.removeEventListener("close", onClose);
      $("#dialog-form").removeEventListener("submit", onSubmit);
      $("#dialog-cancel").removeEventListener("click", onCancel);
      if (dlg.open) dlg.close();
      resolve(result);
    };
    const onSubmit = (e) => {
      e.preventDefault();
      if (!field) return done(true);
      const v = input.value.trim();
      const problem = validate ? validate(v) : (v ? "" : "Please enter a value.");
      if (problem) { $("#dialog-error").textContent = problem; input.focus(); return; }
      done(v);
    };
    const onCancel = () => done(field ? null : false);
    const onClose = () => done(field ? null : false);
    $("#dialog-form").addEventListener("submit", onSubmit);
    $("#dialog-cancel").addEventListener("click", onCancel);
    dlg.addEventListener("close", onClose);
    dlg.showModal();
    if (field) { input.focus(); input.select(); } else $("#dialog-cancel").focus();
  });
}

// An attached image, larger, in the page's own dialog.
function showImage(url) {
  const dlg = $("#image-dialog");
  $("#image-large").src = url;
  dlg.showModal();
  $("#image-close").focus();
}

// -- scrolling: follow the stream only while the reader is at the bottom -------

function atBottom() {
  const box = $("#messages");
  return box.scrollHeight - box.scrollTop - box.clientHeight < 48;
}

function contentChanged() {
  if (state.quiet) return;   // a page of history is being laid out
  const box = $("#messages");
  // Scroll events come a frame late: a reader who moved up since the page
  // last pinned the view to the bottom is not pulled back down.
  if (state.follow && box.scrollTop < state.pinned - 4) state.follow = false;
  if (state.follow) {
    box.scrollTop = box.scrollHeight;
    state.pinned = box.scrollTop;
  }
  $("#jump-latest").hidden = state.follow || atBottom();
}

function jumpToLatest() {
  state.follow = true;
  state.pinned = 0;
  contentChanged();
  $("#composer-input").focus();
}

// -- rendering ---------------------------------------------------------------

// Where new messages go: the conversation, or a page of older history
// being put together before it goes in at the top.
function messagesBox() {
  return state.renderInto || $("#messages");
}

function clearMessages() {
  const hint = el("div", { id: "empty-hint", class: "empty", text: "Send a message to start a conversation." });
  PAGE.set("#empty-hint", hint);
  $("#messages").replaceChildren(hint);
  state.turns.clear();
  state.current = null;
  state.follow = true;
  state.pinned = 0;
  $("#jump-latest").hidden = true;
}

function hideHint() {
  const hint = $("#empty-hint");
  if (hint) hint.remove();
  PAGE.delete("#empty-hint");
}

function newTurn(id) {
  return { id, user: null, node: null, stream: null, text: "", stopAsked: false, ended: false, model: "", ts: null };
}

function turnFor(id) {
  if (id === null || id === undefined) return null;
  let t = state.turns.get(id);
  if (!t) { t = newTurn(id); state.turns.set(id, t); }
  return t;
}

// A new id for a message sent from this tab: every record of its turn
// carries it back, and places the bubble.
function newClientId() {
  if (crypto.randomUUID) return crypto.randomUUID();
  return [...crypto.getRandomValues(new Uint8Array(16))].map((b) => b.toString(16).padStart(2, "0")).join("");
}

// When a message was written: the host's time (seconds) when it says, else now.
function timeNode(ts) {
  const at = new Date(typeof ts === "number" && ts > 0 ? ts * 1000 : Date.now());
  return el("time", { class: "msg-time", datetime: at.toISOString(), title: TIME_FORMAT.full.format(at),
    text: TIME_FORMAT.hm.format(at) });
}

function thumb(url) {
  const img = el("img", { class: "thumb", src: url, alt: "attached image" });
  const open = el("button", { type: "button", class: "thumb-open", "aria-label": "Open the image larger", title: "Open larger" }, img);
  open.addEventListener("click", () => showImage(url));
  img.addEventListener("error", () => open.replaceWith(el("span", { class: "thumb-missing", "data-src": url, text: "image not available" })));
  return open;
}

// `images`: upload ids (the host can show and resend them) or, for a
// message of this tab not yet on the host, {id, url} of the attachments.
function addUser(text, images = [], queuedPosition = 0, { clientId = null, ts = null } = {}) {
  hideHint();
  const node = el("div", { class: "msg user", role: "article", "aria-label": "Your message" });
  const ids = [];
  for (const image of images) {
    const id = typeof image === "string" ? image : image.id;
    if (id) ids.push(id);
    node.append(thumb(typeof image === "string" ? uploadUrl(image) : image.url));
  }
  node.append(el("div", { class: "text", text }));
  const edit = el("button", { type: "button", class: "msg-btn", "data-action": "edit", text: "Edit", "aria-label": "Edit this message" });
  edit.addEventListener("click", () => editMessage(node));
  node.append(el("div", { class: "msg-foot" }, timeNode(ts), edit));
  node.dataset.message = text;
  node.dataset.images = JSON.stringify(ids);
  if (clientId) node.dataset.client = clientId;
  messagesBox().append(node);
  setQueued(node, queuedPosition);
  contentChanged();
  return node;
}

// A user message first seen on the stream: the tab that sent it may still be
// waiting for the answer to its request, and must not show it twice.
function streamUser(text, images, clientId, ts) {
  const node = addUser(text, Array.isArray(images) ? images.filter((id) => typeof id === "string") : [], 0, { clientId, ts });
  node.dataset.stream = "1";
  return node;
}

// The bubble of a message by its client id (set when this tab sent it, or
// when a record of its turn showed it).
function byClient(clientId) {
  if (!clientId) return null;
  for (const node of document.querySelectorAll(".msg.user[data-client]")) {
    if (node.dataset.client === clientId) return node;
  }
  return null;
}

// Without a client id (a host that does not hand them back), by its text.
function claimStreamed(text, clientId) {
  if (clientId) {
    const node = byClient(clientId);
    if (node) node.dataset.claimed = "1";
    return node;
  }
  for (const node of document.querySelectorAll('.msg.user[data-stream="1"]')) {
    if (node.dataset.message === text && !node.dataset.claimed) { node.dataset.claimed = "1"; return node; }
  }
  return null;
}

// Edit: the text in a box in place; sending it is a new turn with the
// message's images, the earlier turn stays as it was.
function editMessage(node) {
  if (node.querySelector(".edit-box")) return;
  const textNode = node.querySelector(".text");
  const foot = node.querySelector(".msg-foot");
  const box = el("textarea", { class: "edit-input", rows: "3", "aria-label": "Edited message" });
  box.value = node.dataset.message || "";
  const sendBtn = el("button", { type: "button", class: "primary", text: "Send edited message" });
  const cancel = el("button", { type: "button", text: "Cancel" });
  const form = el("div", { class: "edit-box", role: "group", "aria-label": "Edit message" }, box,
    el("div", { class: "edit-buttons" }, cancel, sendBtn));
  const close = () => {
    form.remove();
    textNode.hidden = false;
    foot.hidden = false;
  };
  cancel.addEventListener("click", () => { close(); node.querySelector('[data-action="edit"]').focus(); });
  const submit = async () => {
    const text = box.value;
    if (!text.trim()) { box.focus(); return; }
    sendBtn.disabled = true;
    const ok = await post(text, imagesOf(node));
    sendBtn.disabled = false;
    if (ok) { close(); focusComposer(); }
  };
  sendBtn.addEventListener("click", submit);
  box.addEventListener("keydown", (e) => {
    if (e.key === "Escape") { e.preventDefault(); cancel.click(); }
    else if (e.key === "Enter" && !e.shiftKey && !e.isComposing) { e.preventDefault(); submit(); }
  });
  textNode.hidden = true;
  foot.hidden = true;
  textNode.after(form);
  box.focus();
  box.setSelectionRange(box.value.length, box.value.length);
  contentChanged();
}

function imagesOf(node) {
  let ids = [];
  try { ids = JSON.parse(node.dataset.images || "[]"); } catch (_) { ids = []; }
  return ids.map((id) => ({ id, url: uploadUrl(id) }));
}

// Regenerate and Retry: the turn's question asked again, as a new turn.
async function askAgain(t, button) {
  if (!t.user) return;
  button.disabled = true;
  await post(t.user.dataset.message || "", imagesOf(t.user));
  button.disabled = false;
}

function setQueued(node, position) {
  let badge = node.querySelector(".queued-badge");
  const cancel = node.querySelector('[data-action="cancel"]');
  if (!position) {
    if (badge) badge.remove();
    if (cancel) cancel.remove();
    delete node.dataset.queued;
    return;
  }
  if (!badge) { badge = el("span", { class: "queued-badge" }); node.querySelector(".text").append(badge); }
  badge.textContent = `queued #${position}`;
  node.dataset.queued = String(position);
  // A waiting message can be taken back once the host names its turn.
  if (!cancel && state.turnIds && node.dataset.turn) {
    const btn = el("button", { type: "button", class: "msg-btn", "data-action": "cancel", text: "Cancel",
      "aria-label": "Cancel this queued message" });
    btn.addEventListener("click", () => cancelQueued(node, btn));
    node.querySelector(".msg-foot").append(btn);
  }
}

async function cancelQueued(node, btn) {
  btn.disabled = true;
  try {
    await api("POST", "/chat/cancel", { session_id: state.sessionId, turn_id: node.dataset.turn });
    state.turns.delete(node.dataset.turn);
    node.remove();
    state.pending = document.querySelectorAll(".msg.user[data-queued]").length;
    setBusy();
    focusComposer();
    announce("Queued message cancelled.");
  } catch (e) {
    btn.disabled = false;
    if (e.status === 409) toast("That message is already being answered; use Stop to stop it.");
    else if (e.status === 404) toast("That message is no longer waiting.", "info");
    else toast(`Could not cancel: ${e.message}`);
  }
}

// A user message shown before its turn id was known: sent from this tab, or
// announced as queued without an id.
function adoptLocal(message, clientId = null) {
  if (clientId) {
    const node = byClient(clientId);
    if (node) delete node.dataset.local;
    return node;
  }
  for (const sel of ['.msg.user[data-local="1"]', ".msg.user[data-queued]:not([data-turn])"]) {
    for (const node of document.querySelectorAll(sel)) {
      if (node.dataset.message === message) { delete node.dataset.local; return node; }
    }
  }
  return null;
}

function assistantNode(t) {
  if (t.node) return t.node;
  hideHint();
  const activity = el("details", { class: "activity", hidden: true },
    el("summary", { text: "Working…" }),
    el("div", { class: "thinking-text" }),
    el("div", { class: "reasoning-text" }),
    el("div", { class: "tools" }));
  const reply = el("div", { class: "reply" });
  const node = el("article", { class: "msg assistant", "aria-label": "Reply" }, activity, el("div", { class: "extras" }), reply);
  if (t.user && t.user.parentNode) t.user.after(node);
  else messagesBox().append(node);
  t.node = node;
  t.stream = new Markdown.Stream(reply);
  t.stream.onRender = contentChanged;
  contentChanged();
  return node;
}

// The turn a record belongs to: its own tag, else the one running now.
function recordTurn(turnId) {
  if (turnId !== null && turnId !== undefined) return turnFor(turnId);
  if (!state.current) { state.current = newTurn(null); }
  return state.current;
}

function activityBox(t) {
  const box = assistantNode(t).querySelector(".activity");
  box.hidden = false;
  return box;
}

function startStreaming(t) {
  assistantNode(t).classList.add("streaming");
  t.ended = false;
}

function finishTurn(t, status, reason) {
  if (!t || t.ended) return;
  t.ended = true;
  const node = assistantNode(t);
  node.classList.remove("streaming");
  if (t.stream) t.stream.finish();
  const box = node.querySelector(".activity");
  if (box) {
    box.open = false;
    const steps = box.querySelectorAll(".tool-line").length;
    box.querySelector("summary").textContent = steps ? `Activity (${steps} step${steps === 1 ? "" : "s"})` : "Activity";
  }
  for (const card of node.querySelectorAll(".approval:not(.answered)")) {
    // Nothing waits for this answer any more.
    card.classList.add("answered");
    for (const b of card.querySelectorAll("button")) b.disabled = true;
    const outcome = card.querySelector(".outcome");
    if (!outcome.textContent) outcome.textContent = "Not answered: the turn ended before an answer was given.";
  }
  const cut = status === "stopped" || status === "interrupted";
  if (cut) {
    for (const line of node.querySelectorAll(".tool-line.running")) markToolStopped(line, status);
  }
  const extras = node.querySelector(".extras");
  if (status === "stopped" && !node.querySelector(".stopped-line")) {
    extras.append(el("div", { class: "stopped-line", text: "Stopped." }));
  } else if (status === "interrupted" && !node.querySelector(".interrupted-line")) {
    extras.append(el("div", { class: "interrupted-line",
      text: reason ? `Interrupted: ${reason}` : "Interrupted: the dashboard stopped before this reply was finished." }));
  } else if (status === "error") {
    errorLine(t, reason ? `The turn failed: ${reason}` : "The turn failed.");
  }
  if (!node.querySelector(".reply-foot")) {
    const foot = el("div", { class: "reply-foot" }, timeNode(t.ts));
    if (t.model) foot.append(el("span", { class: "reply-model", title: "The model that wrote this reply", text: t.model }));
    foot.append(el("span", { class: "spacer" }));
    if (t.user && status !== "error") {
      const again = el("button", { type: "button", class: "msg-btn regen", "data-action": "regenerate", text: "Regenerate",
        "aria-label": "Regenerate this reply" });
      again.addEventListener("click", () => askAgain(t, again));
      foot.append(again);
    }
    if (t.text) foot.append(Markdown.copyButton("Copy reply", () => t.text));
    node.append(foot);
  }
  if (!t.text && status === "done" && !node.querySelector(".error-line, .approval")) {
    node.querySelector(".reply").textContent = "(no reply)";
  }
  if (state.current === t) state.current = null;
  if (status === "done" && t.text) announce(`Reply finished: ${t.text.slice(0, 400)}`);
  else if (cut) announce(status === "stopped" ? "Reply stopped." : "Reply interrupted.");
  contentChanged();
}

// A failed turn says why, once, with Retry (its question asked again).
function errorLine(t, text) {
  const node = assistantNode(t);
  if (node.querySelector(".error-line")) return;
  const line = el("div", { class: "error-line" }, el("span", { text }));
  if (t.user) {
    const retry = el("button", { type: "button", class: "msg-btn", "data-action": "retry", text: "Retry",
      "aria-label": "Retry this message" });
    retry.addEventListener("click", () => askAgain(t, retry));
    line.append(" ", retry);
  }
  node.querySelector(".extras").append(line);
}

function errorText(error) {
  if (!error || typeof error !== "object" || !error.message) return null;
  return error.retry_after ? `${error.message} (try again in ${Math.ceil(error.retry_after)} s)` : String(error.message);
}

function markToolStopped(line, status) {
  if (Tools.stop(line, status)) return;
  line.classList.remove("running", "done");
  line.classList.add("stopped");
  line.textContent = `${line.dataset.label} (${status})`;
}

function historyStatusLine(t, status, reason) {
  const node = assistantNode(t);
  t.ended = false;
  finishTurn(t, status, reason);
  return node;
}

// The stored reply text of a turn: its answers, a paragraph apart.
function historyText(t, text) {
  assistantNode(t);
  t.text = t.text ? `${t.text}\n\n${text}` : text;
  t.stream.reset(t.text);
}

// The stored conversation (or, `into` a holder, an older page of it), laid
// out in slices that leave the page responsive. False when the view was
// rebuilt or another session opened meanwhile (what was laid out is stale).
async function renderHistory(messages, into = null) {
  const sessionId = state.sessionId;
  if (!into) { state.rebuilds += 1; clearMessages(); }
  const rebuild = state.rebuilds;
  let last = null;
  let slice = performance.now();
  const laidOut = new Set();
  const quietly = (fn) => {
    state.renderInto = into;
    state.quiet = true;
    try {
      fn();
    } finally {
      state.renderInto = null;
      state.quiet = false;
    }
  };
  for (const m of messages) {
    if (performance.now() - slice > 12) {
      await new Promise((resolve) => setTimeout(resolve, 0));
      if (state.sessionId !== sessionId || state.rebuilds !== rebuild) return false;
      slice = performance.now();
    }
    quietly(() => { last = historyMessage(m, last); });
    if (last) laidOut.add(last);
  }
  // A turn whose last stored step has no reply after it.
  quietly(() => {
    for (const t of laidOut) if (t.steps && !t.ended) { t.steps = false; finishTurn(t, "done"); }
  });
  if (into) return true;
  state.current = null;
  state.follow = true;
  state.pinned = 0;
  contentChanged();
  return true;
}

function historyMessage(m, last) {
  const text = textOf(m.content);
  if (m.role === "user") {
    const t = m.turn != null ? turnFor(m.turn) : newTurn(null);
    t.user = addUser(text, Array.isArray(m.images) ? m.images.filter((id) => typeof id === "string") : [], 0,
      { clientId: m.client_id || null, ts: m.ts });
    last = t;
    if (m.status) historyStatusLine(t, m.status, errorText(m.error));
  } else if (m.role === "assistant" || m.role === "tool") {
    // A turn's steps (calls, then their results) come before its reply.
    const t = m.turn != null ? turnFor(m.turn)
      : (last && (last.steps || (m.role === "assistant" && !last.node)) ? last : newTurn(null));
    const calls = m.role === "assistant" && Array.isArray(m.tool_calls) && m.tool_calls.length;
    if (m.role === "tool" || calls) {
      if (calls) Tools.historyCalls(activityBox(t), m.tool_calls);
      else Tools.historyResult(activityBox(t), m);
      if (calls && text) historyText(t, text);
      t.steps = true;
      return t;
    }
    if (!text && !m.status) return last;
    if (m.model) t.model = String(m.model);
    if (typeof m.ts === "number") t.ts = m.ts;
    historyText(t, text);
    t.steps = false;
    t.ended = false;
    finishTurn(t, m.status || "done", errorText(m.error));
    last = t;
  }
  return last;
}

function setTitle(sessionId, title) {
  if (title) state.titles.set(sessionId, title);
  if (sessionId === state.sessionId) {
    $("#session-title").textContent = title || state.titles.get(sessionId) || NEW_CHAT;
    document.title = `${title || NEW_CHAT} · Korvel chat`;
  }
}

function setBusy() {
  const ind = $("#busy-indicator");
  const parts = [];
  if (state.running) parts.push("working");
  if (state.pending > 0) parts.push(`${state.pending} queued`);
  ind.hidden = parts.length === 0;
  ind.textContent = parts.join(" · ");
  $("#export-btn").hidden = !state.routes || !state.sessionId;
  $("#stop-btn").hidden = !state.running;
}

// -- records of the event stream ----------------------------------------------

function applyRecord(type, turnId, data, clientId = null) {
  const d = data && typeof data === "object" ? data : {};
  const cid = clientId || d.client_id || null;
  switch (type) {
    case "sync":
      return;
    case "turn_started": {
      const id = d.turn_id ?? turnId;
      const t = id != null ? turnFor(id) : (state.current = newTurn(null));
      if (!t.user) t.user = adoptLocal(d.message || "", cid);
      if (!t.user) t.user = streamUser(d.message || "", d.images, cid, d.ts);
      setQueued(t.user, 0);
      delete t.user.dataset.local;
      // The running turn comes before the messages that wait behind it (a
      // reload may have shown those first).
      const firstWaiting = $("#messages").querySelector(".msg.user[data-queued]");
      if (firstWaiting && firstWaiting !== t.user && t.user.parentNode === firstWaiting.parentNode
          && (firstWaiting.compareDocumentPosition(t.user) & Node.DOCUMENT_POSITION_FOLLOWING)) firstWaiting.before(t.user);
      if (t.node) {
        // The turn is replayed from its start: begin its reply again.
        t.node.remove();
        t.node = null;
        t.text = "";
      }
      state.current = t;
      if (d.model) t.model = String(d.model);
      if (typeof d.ts === "number") t.ts = d.ts;
      assistantNode(t);
      startStreaming(t);
      state.running = true;
      state.pending = document.querySelectorAll(".msg.user[data-queued]").length;
      break;
    }
    case "delta": {
      // The hot path: the text is only kept here; the reply renders it in
      // bounded steps and scrolls when it has (see Markdown.Stream).
      const t = recordTurn(turnId);
      const text = typeof data === "string" ? data : "";
      if (!t.node) assistantNode(t);
      t.text += text;
      t.stream.append(text);
      return;
    }
    case "thinking": {
      if (d.text) activityBox(recordTurn(turnId)).querySelector(".thinking-text").textContent = d.text;
      break;
    }
    case "reasoning_delta":
    case "reasoning": {
      const r = activityBox(recordTurn(turnId)).querySelector(".reasoning-text");
      // The deltas stream the reasoning live; the full text replaces them.
      if (type === "reasoning") { if (d.text) r.textContent = d.text; }
      else if (d.text) r.append(document.createTextNode(d.text));
      break;
    }
    case "tool_started": {
      const box = activityBox(recordTurn(turnId));
      box.open = true;
      Tools.started(box, d);
      break;
    }
    case "tool_completed": {
      const t = recordTurn(turnId);
      Tools.completed(activityBox(t), d, t.stopAsked);
      break;
    }
    case "status": {
      const t = recordTurn(turnId);
      const box = activityBox(t);
      if (Tools.status(box, d)) break;
      if (d.event === "lifecycle") {
        // What the agent is doing now: shown while it works, not kept.
        if (!t.ended) box.querySelector("summary").textContent = d.message || "Working…";
      } else {
        box.querySelector(".tools").append(el("div", { class: "status-line", text: d.message || d.event || "" }));
      }
      break;
    }
    case "approval_required":
      showApproval(recordTurn(turnId), d);
      break;
    case "approval_resolved": {
      const t = recordTurn(turnId);
      for (const card of assistantNode(t).querySelectorAll(".approval:not(.answered)")) answered(card, d.choice);
      break;
    }
    case "busy": {
      const id = d.turn_id ?? turnId;
      const known = id != null && state.turns.get(id);
      if (known && known.node) break;   // already running or done
      const node = (known && known.user) || adoptLocal(d.message || "", cid) || streamUser(d.message || "", d.images, cid, d.ts);
      if (known && d.model) known.model = String(d.model);
      if (id != null) { turnFor(id).user = node; node.dataset.turn = id; }
      if (cid) node.dataset.client = cid;
      setQueued(node, d.position || 1);
      state.pending = document.querySelectorAll(".msg.user[data-queued]").length;
      break;
    }
    case "queue":
      applyQueue(d.queue || []);
      break;
    case "title_updated":
      setTitle(d.session_id || state.sessionId, d.title);
      refreshSessions();
      break;
    case "error": {
      const t = recordTurn(turnId);
      errorLine(t, `The turn failed: ${errorText(d) || d.message || "unknown error"}`);
      break;
    }
    case "turn_ended": {
      const id = d.turn_id ?? turnId;
      const t = id != null ? turnFor(id) : state.current;
      const failure = errorText(d.error);
      finishTurn(t, d.status || "done", failure || d.reason);
      state.running = false;
      refreshSessions();
      break;
    }
    case "stop_requested":
      recordTurn(d.turn_id ?? turnId).stopAsked = true;
      break;
    default:
      break;
  }
  setBusy();
  contentChanged();
}

// The queue as the host states it: a user message with a badge per entry.
function applyQueue(queue) {
  const keep = new Set();
  for (const q of queue) {
    const t = q.turn != null ? turnFor(q.turn) : null;
    let node = t && t.user;
    if (!node) node = adoptLocal(q.message || "", q.client_id) || streamUser(q.message || "", q.images, q.client_id || null, q.ts);
    if (t) { t.user = node; node.dataset.turn = q.turn; }
    if ("client_id" in q) state.turnIds = true;
    setQueued(node, q.position || 1);
    keep.add(node);
  }
  for (const node of document.querySelectorAll(".msg.user[data-queued]")) if (!keep.has(node)) setQueued(node, 0);
  state.pending = queue.length;
}

function answered(card, choice) {
  card.classList.add("answered");
  for (const b of card.querySelectorAll("button")) b.disabled = true;
  const names = { once: "Allowed once", session: "Allowed for this session", always: "Always allowed", deny: "Denied" };
  const outcome = card.querySelector(".outcome");
  if (!outcome.textContent) outcome.textContent = `${names[choice] || "Answered"}.`;
}

function showApproval(t, d) {
  const node = assistantNode(t);
  if (node.querySelector(".approval:not(.answered)")) return;
  const card = el("div", { class: "approval", role: "group", "aria-label": "Approval needed" },
    el("h3", { text: "⚠️ Approval needed" }),
    el("div", { text: d.description || "dangerous command" }),
    el("pre", { text: d.command || "" }));
  const outcome = el("div", { class: "outcome", role: "status" });
  const choices = el("div", { class: "choices" });
  const labels = [["once", "Allow once"], ["session", "Allow for this session"], ["always", "Always allow"], ["deny", "Deny"]];
  const kind = d.description || "this kind of command";
  const classes = { once: "primary", deny: "danger" };
  const covers = {
    session: `Commands like this one (${kind}) run without asking for the rest of this chat.`,
    always: `Commands like this one (${kind}) run without asking in every chat of this profile, until revoked under Permissions.`,
  };
  for (const [choice, label] of labels) {
    choices.append(el("button", {
      type: "button", class: classes[choice] || null, "data-choice": choice, text: label, title: covers[choice] || null,
      onclick: async () => {
        for (const b of choices.querySelectorAll("button")) b.disabled = true;
        try {
          // The answer names the request it answers: it never reaches another one.
          const r = await api("POST", "/chat/approve",
            { session_id: state.sessionId || d.session_id, choice, approval_id: d.approval_id || "" });
          outcome.textContent = r.resolved ? `${label} — sent.` : "Nothing was waiting for an answer any more.";
          card.classList.add("answered");
          // The buttons are spent: the focus goes back to writing.
          focusComposer();
        } catch (e) {
          if (e.status === 409) {
            outcome.textContent = "This request was answered already or is out of date; nothing was changed.";
            card.classList.add("answered");
            focusComposer();
            return;
          }
          outcome.textContent = `Could not answer: ${e.message}`;
          for (const b of choices.querySelectorAll("button")) b.disabled = false;
        }
      },
    }));
  }
  card.append(choices, el("p", { class: "covers muted", text: `“Always allow” covers ${kind} in every chat of this profile, until revoked under Permissions.` }), outcome);
  node.querySelector(".extras").append(card);
  announce(`Approval needed: ${d.description || "a command"}: ${d.command || ""}`);
}

// -- the event stream of the open session ------------------------------------------

function closeStream() {
  if (state.es) state.es.close();
  state.es = null;
  clearTimeout(state.retry);
  state.buffer = null;
  banner(null);
}

function openStream(sessionId, resume = false) {
  closeStream();
  if (!resume) state.lastEventId = "";
  const query = resume && state.lastEventId ? `?last_event_id=${encodeURIComponent(state.lastEventId)}` : "";
  const es = new EventSource(`/chat/stream/${encodeURIComponent(sessionId)}${query}`);
  state.es = es;
  for (const type of STREAM_TYPES) es.addEventListener(type, (e) => onEvent(es, sessionId, type, e));
  es.onopen = () => {
    if (state.es === es) state.retryDelay = 1000;
  };
  es.onerror = () => {
    if (state.es !== es) return;
    banner(RECONNECTING);
    if (es.readyState !== EventSource.OPEN) hostAway();
    if (es.readyState === EventSource.CLOSED) {
      // The browser gave up (the host answered with an error): try again
      // later, unless the access token is gone (a 401 shows the lock screen).
      api("GET", `/chat/status/${encodeURIComponent(sessionId)}`).catch(() => {});
      clearTimeout(state.retry);
      state.retry = setTimeout(() => { if (state.es === es) openStream(sessionId, true); }, state.retryDelay);
      state.retryDelay = Math.min(state.retryDelay * 2, 8000);
    }
  };
}

function onEvent(es, sessionId, type, e) {
  if (state.es !== es || state.sessionId !== sessionId) return;
  // The browser's own "error" event (the connection dropped) has no data:
  // the turn goes on, or the host marks it interrupted; it did not fail.
  if (!(e instanceof MessageEvent) || e.data === undefined) return;
  if (e.lastEventId) state.lastEventId = e.lastEventId;
  let msg = null;
  try { msg = JSON.parse(e.data); } catch (_) { msg = e.data; }
  const tagged = msg && typeof msg === "object" && !Array.isArray(msg) && "data" in msg && "turn" in msg;
  const turnId = tagged ? msg.turn : null;
  const clientId = tagged && typeof msg.client_id === "string" ? msg.client_id : null;
  if (tagged && "client_id" in msg) state.turnIds = true;
  let data = tagged ? msg.data : msg;
  // An approval is answered by the id of the event that asked for it.
  if (type === "approval_required" && data && typeof data === "object") data = { ...data, approval_id: e.lastEventId };
  if (type === "sync") { onSync(sessionId, data || {}); return; }
  if (state.buffer) { state.buffer.push([type, turnId, data, clientId]); return; }
  applyRecord(type, turnId, data, clientId);
}

async function onSync(sessionId, sync) {
  state.legacy = false;
  banner(null);
  if (sync.resumed) return;
  // Rebuild the view from the stored history, then apply what follows.
  const buffer = [];
  state.buffer = buffer;
  let hist = null;
  try {
    hist = await api("GET", History.firstPageUrl(sessionId));
  } catch (e) {
    toast(`Could not load the conversation: ${e.message}`);
  }
  if (state.sessionId !== sessionId || state.buffer !== buffer) return;
  if (hist) await renderHistory(hist.messages || []);
  if (state.sessionId !== sessionId || state.buffer !== buffer) return;
  History.loaded(sessionId, hist);
  state.running = !!sync.running;
  applyQueue(sync.queue || []);
  if (sync.running != null) {
    const t = turnFor(sync.running);
    state.current = t;
  }
  state.buffer = null;
  for (const [type, turnId, data, clientId] of buffer) applyRecord(type, turnId, data, clientId);
  if (sync.pending_approval && !document.querySelector(".approval:not(.answered)")) {
    showApproval(state.current || recordTurn(sync.running),
      { ...sync.pending_approval, approval_id: sync.pending_approval_id });
  }
  setBusy();
  contentChanged();
}

// -- sessions -----------------------------------------------------------------

// Made once: a list of thousands of sessions formats their times often.
const TIME_FORMAT = {
  hm: new Intl.DateTimeFormat([], { hour: "2-digit", minute: "2-digit" }),
  day: new Intl.DateTimeFormat([], { day: "numeric", month: "short" }),
  dayYear: new Intl.DateTimeFormat([], { day: "numeric", month: "short", year: "numeric" }),
  full: new Intl.DateTimeFormat([], { year: "numeric", month: "numeric", day: "numeric", hour: "numeric", minute: "2-digit", second: "2-digit" }),
};

function when(ts) {
  if (!ts) return "";
  const t = typeof ts === "number" ? new Date(ts < 1e12 ? ts * 1000 : ts) : new Date(ts);
  if (isNaN(t)) return "";
  const secs = (Date.now() - t.getTime()) / 1000;
  if (secs < 60) return "just now";
  if (secs < 3600) return `${Math.floor(secs / 60)} min ago`;
  const hm = TIME_FORMAT.hm.format(t);
  const today = new Date();
  if (t.toDateString() === today.toDateString()) return `today ${hm}`;
  const yesterday = new Date(today.getTime() - 86400000);
  if (t.toDateString() === yesterday.toDateString()) return `yesterday ${hm}`;
  return `${(t.getFullYear() === today.getFullYear() ? TIME_FORMAT.day : TIME_FORMAT.dayYear).format(t)} ${hm}`;
}

function fullTime(ts) {
  if (!ts) return "";
  const t = new Date(typeof ts === "number" && ts < 1e12 ? ts * 1000 : ts);
  return isNaN(t) ? "" : TIME_FORMAT.full.format(t);
}

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

async function deleteSession(s, label) {
  const ok = await ask({ title: "Delete this chat?", text: `“${label}” and all its messages will be deleted. This cannot be undone.`,
    okLabel: "Delete", danger: true, field: false });
  if (!ok) return;
  try {
    await api("DELETE", `/sessions/${encodeURIComponent(s.session_id)}`);
  } catch (e) {
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

// -- export, permissions and the host-wide events -------------------------------

async function exportChat() {
  if (!state.sessionId) return;
  let res;
  try {
    res = await fetch(`/chat/export/${encodeURIComponent(state.sessionId)}`);
  } catch (_) {
    hostAway();
    toast("Could not export: the dashboard cannot be reached.");
    return;
  }
  if (res.status === 401) { showLocked(); return; }
  if (!res.ok) {
    let detail = res.statusText;
    try { detail = (await res.json()).detail || detail; } catch (_) { /* keep the status text */ }
    toast(`Could not export: ${detail}`);
    return;
  }
  const name = /filename="([^"]+)"/.exec(res.headers.get("Content-Disposition") || "");
  const url = URL.createObjectURL(await res.blob());
  const a = el("a", { href: url, download: name ? name[1] : "chat.md" });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
  toast("Exported the chat as Markdown.", "info");
}

async function showPermissions() {
  const dlg = $("#permissions-dialog");
  const body = $("#permissions-body");
  body.replaceChildren(el("p", { class: "muted", text: "Loading…" }));
  if (!dlg.open) dlg.showModal();
  $("#permissions-close").focus();
  let data;
  try {
    data = await api("GET", "/permissions");
  } catch (e) {
    body.replaceChildren(el("p", { text: `Could not load the permissions: ${e.message}` }));
    return;
  }
  if (!data.supported) {
    body.replaceChildren(el("p", { text: data.reason || "The installed engine cannot list or revoke its standing approvals." }));
    return;
  }
  const section = (heading, scope, items) => {
    const list = el("ul", { class: "perm-list" });
    for (const item of items) {
      const where = scope === "session" ? state.titles.get(item.session_id) || NEW_CHAT : "";
      const revoke = el("button", { type: "button", class: "msg-btn", text: "Revoke",
        "aria-label": `Revoke ${item.description || item.key}${where ? ` in ${where}` : ""}` });
      const row = el("li", {}, el("span", { class: "perm-what" }, el("span", { text: item.description || item.key }),
        where ? el("span", { class: "muted", text: ` · ${where}` }) : null), revoke);
      revoke.addEventListener("click", async () => {
        revoke.disabled = true;
        try {
          await api("DELETE", "/permissions", { scope, key: item.key, session_id: item.session_id || undefined });
          row.remove();
          announce(`Revoked: ${item.description || item.key}.`);
          if (!list.children.length) list.replaceWith(el("p", { class: "muted", text: "None." }));
          $("#permissions-close").focus();
        } catch (e) {
          revoke.disabled = false;
          toast(`Could not revoke: ${e.message}`);
        }
      });
      list.append(row);
    }
    return [el("h3", { text: heading }), items.length ? list : el("p", { class: "muted", text: "None." })];
  };
  body.replaceChildren(
    el("p", { class: "muted", text: "Commands you allowed without being asked again. Revoke one and it asks again next time." }),
    ...section("For a chat (“Allow for this session”)", "session", data.session || []),
    ...section("Always (“Always allow”, this profile)", "always", data.always || []));
}

// The host-wide stream: the active profile, sessions made, renamed or
// deleted elsewhere, and which chats work or wait for an approval.
function openEvents() {
  if (!state.routes) return;
  const es = new EventSource("/events");
  state.events = es;
  const on = (type, fn) => es.addEventListener(type, (e) => {
    let d = null;
    try { d = JSON.parse(e.data); } catch (_) { return; }
    if (d && typeof d === "object") fn(d.data && typeof d.data === "object" && !("profile" in d) ? d.data : d);
  });
  es.onopen = () => { state.states.clear(); };
  on("hello", (d) => profileSeen(d.profile));
  on("profile_changed", (d) => profileSeen(d.profile));
  on("sessions_changed", (d) => {
    if (d.reason === "deleted" && d.session_id === state.sessionId) {
      rememberDeleted(d.session_id);
      newChat();
      toast("This chat was deleted in another window.", "info");
    }
    if ((d.reason === "renamed" || d.reason === "titled") && d.session_id) {
      state.titles.delete(d.session_id);
      if (d.session_id === state.sessionId) Sessions.knowTitle(d.session_id);
    }
    refreshSessions();
  });
  on("session_state", (d) => {
    if (!d.session_id) return;
    if (d.state === "idle") state.states.delete(d.session_id); else state.states.set(d.session_id, d.state);
    Sessions.render();
  });
  es.onerror = () => {
    if (state.events !== es) return;
    if (es.readyState === EventSource.CLOSED) { state.events = null; return; }
    suspectHost();
  };
}

// The profile the host has active now: if another tab switched it, the
// lists are reloaded and a chat of the other profile is closed.
async function profileSeen(profile) {
  const sel = $("#profile-select");
  if (!profile || profile === sel.dataset.active) return;
  const before = sel.dataset.active;
  try { await Promise.all([loadProfiles(), loadModels()]); } catch (_) { /* shown when used */ }
  state.titles.clear();
  Sessions.forgetAll();
  if (state.sessionId) {
    newChat(false);
    toast(`Profile “${profile}” was made active in another window; the open chat belongs to “${before}” and was closed.`, "info");
  }
  await refreshSessions();
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

// -- sending ------------------------------------------------------------------

async function send(ev) {
  if (ev) ev.preventDefault();
  const input = $("#composer-input");
  const text = input.value;
  const images = state.attachments.slice();
  if (!text.trim() && !images.length) return;
  $("#send-btn").disabled = true;
  try {
    if (await post(text, images, () => {
      input.value = "";
      autoSize();
      state.attachments = [];
      renderAttachments();
    })) focusComposer();
  } finally {
    $("#send-btn").disabled = false;
  }
}

// One message to the open session (or a new one): shown at once under its
// own client id, and placed by the host's records of that id. True when
// the host took it; `taken` runs as soon as it has.
async function post(text, images, taken = null) {
  const clientId = newClientId();
  const profile = $("#profile-select").dataset.active;
  try {
    const res = await api("POST", "/chat/send", {
      session_id: state.sessionId || undefined,
      message: text,
      images: images.map((a) => a.id),
      client_id: clientId,
      profile: profile || undefined,
    });
    if (taken) taken();
    const isNew = state.sessionId !== res.session_id;
    state.follow = true;
    state.pinned = 0;
    if (isNew) {
      // The stream's first record rebuilds the view from the server.
      state.sessionId = res.session_id;
      setUrl(res.session_id, true);
      clearMessages();
      const node = addUser(text, images, 0, { clientId });
      node.dataset.local = "1";
      state.running = true;
      setBusy();
      openStream(res.session_id);
      refreshSessions();
      return true;
    }
    const known = res.turn_id != null && state.turns.get(res.turn_id);
    const shown = (known && known.user) || claimStreamed(text, res.client_id ? clientId : null);
    if (shown && images.length) {
      // This tab has the pictures at hand: show them even if the host cannot serve them.
      for (const old of shown.querySelectorAll(".thumb-open, .thumb-missing")) old.remove();
      for (const a of images.slice().reverse()) shown.prepend(thumb(a.url));
      shown.dataset.images = JSON.stringify(images.map((a) => a.id));
    }
    if (shown) shown.dataset.client = clientId;
    if (!shown) {
      const node = addUser(text, images, res.status === "queued" ? res.position : 0, { clientId });
      node.dataset.local = "1";
      if (res.turn_id != null) { turnFor(res.turn_id).user = node; delete node.dataset.local; node.dataset.turn = res.turn_id; }
    }
    if (res.status === "queued") state.pending = document.querySelectorAll(".msg.user[data-queued]").length;
    else state.running = true;
    setBusy();
    if (!state.es) openStream(res.session_id);
    return true;
  } catch (e) {
    if (e.status === 409 && profile && /profile/i.test(e.message)) {
      // The chat belongs to a profile that is no longer active.
      toast(e.message);
      return false;
    }
    toast(`Could not send: ${e.message}`);
    return false;
  }
}

async function stop() {
  if (!state.sessionId) return;
  $("#stop-btn").disabled = true;
  const t = state.current;
  if (t) t.stopAsked = true;
  try {
    const r = await api("POST", "/chat/stop", { session_id: state.sessionId });
    if (!r.stopped && t) t.stopAsked = false;
  } catch (e) {
    if (t) t.stopAsked = false;
    toast(`Could not stop: ${e.message}`);
  } finally {
    $("#stop-btn").disabled = false;
    // The stop button hides with the turn: the composer keeps the focus.
    focusComposer();
  }
}

function focusComposer() {
  if (!$("#app").hidden && !document.querySelector("dialog[open]")) $("#composer-input").focus();
}

// Keys of the whole page: Escape closes the drawer, else stops the running
// turn; Ctrl+Shift+O (⌘⇧O) starts a new chat, Ctrl+K (⌘K) searches.
function onShortcut(e) {
  if (e.defaultPrevented || e.isComposing || !$("#app") || $("#app").hidden) return;
  const mod = e.ctrlKey || e.metaKey;
  if (e.key === "Escape") {
    if (document.querySelector("dialog[open]") || (e.target && e.target.closest && e.target.closest("dialog"))) return;
    if (document.body.classList.contains("drawer-open")) { closeDrawer(); return; }
    if (e.target === $("#session-search") && $("#session-search").value) return;   // the box clears itself
    if (state.running && state.sessionId) { e.preventDefault(); stop(); }
    return;
  }
  if (mod && e.shiftKey && !e.altKey && (e.key === "O" || e.key === "o")) {
    e.preventDefault();
    newChat();
  } else if (mod && !e.shiftKey && !e.altKey && (e.key === "k" || e.key === "K")) {
    e.preventDefault();
    if (window.matchMedia("(max-width: 760px)").matches && !document.body.classList.contains("drawer-open")) openDrawer();
    $("#session-search").focus();
    $("#session-search").select();
  }
}

function renderAttachments() {
  const box = $("#attachments");
  box.replaceChildren();
  state.attachments.forEach((a, i) => {
    box.append(el("div", { class: "attachment" },
      el("img", { src: a.url, alt: a.name || "image" }),
      el("button", { type: "button", "aria-label": `Remove ${a.name || "image"}`, text: "×", onclick: () => { state.attachments.splice(i, 1); renderAttachments(); } })));
  });
}

async function attach(files) {
  for (const file of files) {
    if (!file.type.startsWith("image/")) { toast(`${file.name} is not an image; only images can be attached.`); continue; }
    const form = new FormData();
    form.append("file", file, file.name);
    try {
      const r = await api("POST", "/chat/upload", form);
      state.attachments.push({ id: r.id, url: URL.createObjectURL(file), name: file.name });
    } catch (e) {
      toast(`Could not attach ${file.name}: ${e.message}`);
    }
  }
  renderAttachments();
}

function autoSize() {
  const t = $("#composer-input");
  t.style.height = "auto";
  t.style.height = Math.min(t.scrollHeight, 200) + "px";
}

function setupDrop() {
  const zone = $("#composer");
  let depth = 0;
  const hasFiles = (e) => [...(e.dataTransfer?.types || [])].includes("Files");
  zone.addEventListener("dragenter", (e) => {
    if (!hasFiles(e)) return;
    e.preventDefault();
    depth += 1;
    zone.classList.add("dragging");
    $("#drop-hint").hidden = false;
  });
  zone.addEventListener("dragover", (e) => { if (hasFiles(e)) e.preventDefault(); });
  zone.addEventListener("dragleave", () => {
    depth = Math.max(0, depth - 1);
    if (!depth) { zone.classList.remove("dragging"); $("#drop-hint").hidden = true; }
  });
  zone.addEventListener("drop", (e) => {
    e.preventDefault();
    depth = 0;
    zone.classList.remove("dragging");
    $("#drop-hint").hidden = true;
    const files = [...(e.dataTransfer?.files || [])];
    if (files.length) attach(files);
  });
}

// -- pickers --------------------------------------------------------------------

async function loadProfiles() {
  const data = await api("GET", "/profiles");
  const sel = $("#profile-select");
  sel.replaceChildren(...data.profiles.map((p) => el("option", { value: p, text: p })), el("option", { value: "__new__", text: "New profile…" }));
  sel.value = data.active;
  sel.dataset.active = data.active;
}

async function switchProfile() {
  const sel = $("#profile-select");
  let name = sel.value;
  let create = false;
  if (name === "__new__") {
    name = await ask({ title: "New profile", label: "Name of the new profile", okLabel: "Create",
      text: "A profile keeps its own sessions, model and settings.",
      validate: (v) => (/^[A-Za-z0-9][A-Za-z0-9_.-]{0,63}$/.test(v) ? "" : "Use 1–64 letters, digits or _ . - (starting with a letter or digit).") });
    create = true;
    if (!name) { sel.value = sel.dataset.active; return; }
  }
  try {
    await api("POST", "/profiles/active", { name, create });
  } catch (e) {
    toast(`Could not switch profile: ${e.message}`);
  }
  await loadProfiles();
  await loadModels();
  newChat();
  state.titles.clear();
  await refreshSessions();
}

// Models typed through "Other…" stay in the list (kept in this browser).
const TYPED_MODELS = "korvel-typed-models";
const STANDIN_NAME = "stand-in (scripted)";

function typedModels() {
  try {
    const list = JSON.parse(localStorage.getItem(TYPED_MODELS) || "[]");
    return Array.isArray(list) ? list.filter((m) => typeof m === "string") : [];
  } catch (_) { return []; }
}

function rememberModel(model) {
  const list = typedModels().filter((m) => m !== model);
  list.unshift(model);
  try { localStorage.setItem(TYPED_MODELS, JSON.stringify(list.slice(0, 20))); } catch (_) { /* not kept */ }
}

async function loadModels() {
  const data = await api("GET", "/model");
  const sel = $("#model-select");
  sel.dataset.browsing = "";
  if (data.standin) {
    // The scripted stand-in writes every reply itself: nothing to choose.
    sel.replaceChildren(el("option", { value: data.model || STANDIN_NAME, text: STANDIN_NAME }));
    sel.disabled = true;
    sel.title = "The bundled stand-in engine answers from a script; it uses no model";
    sel.dataset.current = sel.value;
    return;
  }
  sel.disabled = false;
  sel.title = "Arrow keys browse the models, Enter uses the one shown";
  const names = [];
  for (const m of [data.model, ...(data.choices || []), ...typedModels()]) if (m && !names.includes(m)) names.push(m);
  sel.replaceChildren(...names.map((m) => el("option", { value: m, text: m })), el("option", { value: "__other__", text: "Other…" }));
  sel.value = data.model;
  sel.dataset.current = data.model;
}

// Arrow keys (and letters) only browse the list; Enter or a click with the
// pointer applies the model shown; leaving the list unapplied goes back.
function setupModelPicker() {
  const sel = $("#model-select");
  const BROWSE = new Set(["ArrowUp", "ArrowDown", "ArrowLeft", "ArrowRight", "Home", "End", "PageUp", "PageDown"]);
  sel.addEventListener("keydown", (e) => {
    if (e.key === "Enter") {
      e.preventDefault();
      sel.dataset.browsing = "";
      if (sel.value !== sel.dataset.current) changeModel();
    } else if (e.key === "Escape" && sel.value !== sel.dataset.current) {
      e.preventDefault();
      sel.value = sel.dataset.current;
      sel.dataset.browsing = "";
    } else if ((BROWSE.has(e.key) && !e.altKey) || (e.key.length === 1 && e.key !== " ")) {
      sel.dataset.browsing = "1";
    } else {
      sel.dataset.browsing = "";   // the list opens: its choice applies
    }
  });
  sel.addEventListener("pointerdown", () => { sel.dataset.browsing = ""; });
  sel.addEventListener("change", () => { if (!sel.dataset.browsing) changeModel(); });
  sel.addEventListener("blur", () => {
    if (sel.dataset.browsing && sel.value !== sel.dataset.current) sel.value = sel.dataset.current;
    sel.dataset.browsing = "";
  });
}

async function changeModel() {
  const sel = $("#model-select");
  let model = sel.value;
  if (model === "__other__") {
    model = await ask({ title: "Another model", label: "Model name (for example provider/model)", okLabel: "Use this model",
      validate: (v) => (v && !/\s/.test(v) ? "" : "Enter a model name without spaces.") });
    if (!model) { sel.value = sel.dataset.current; return; }
    rememberModel(model);
  }
  try {
    await api("POST", "/model", { model });
  } catch (e) {
    toast(`Could not change the model: ${e.message}`);
  }
  await loadModels();
}

// -- install screen ------------------------------------------------------------------

// What a failed installation means and what to do next.
function explainInstallFailure(error, lines) {
  const m = /exit code (\d+)/.exec(error || "");
  const code = m ? Number(m[1]) : null;
  const causes = {
    6: "The installer could not be downloaded: the download address could not be resolved (no internet connection or DNS).",
    7: "The installer could not be downloaded: the server could not be reached.",
    22: "The installer could not be downloaded: the server answered with an error (the address may have changed).",
    28: "The installer could not be downloaded: the connection timed out.",
    35: "The installer could not be downloaded: a secure connection could not be made.",
    60: "The installer could not be downloaded: the server's certificate could not be checked.",
    127: "A program the installer needs is missing (bash or curl).",
  };
  let cause = code !== null && causes[code];
  let next = "Check the internet connection, then press Try again.";
  if (!cause && /windows/i.test(error || "")) { cause = error; next = "Install WSL2 and run the dashboard inside it."; }
  if (!cause) {
    const last = (lines || []).filter((l) => l.trim()).slice(-1)[0];
    cause = `The installer stopped with an error${code !== null ? ` (exit code ${code})` : ""}${last ? `; its last line was: “${last}”` : ""}.`;
    next = "Read the installer output above for the reason, fix it, then press Try again.";
  }
  return { cause, next };
}

async function showInstallScreen(engineError) {
  $("#install-screen").hidden = false;
  $("#app").hidden = true;
  if (engineError) $("#install-result").textContent = `The engine could not be loaded: ${engineError}`;
  try {
    const info = await api("GET", "/setup/installer");
    if (info && info.url) $("#install-url").textContent = info.url;
  } catch (_) { /* the address stays described in words */ }
  try {
    const s = await api("GET", "/setup/status");
    const facts = [["Installed", s.installed ? "yes" : "no"], ["Version", s.version || "—"], ["API key", s.api_key ? "set" : "missing"]];
    $("#setup-facts").replaceChildren(...facts.flatMap(([k, v]) => [el("dt", { text: k }), el("dd", { text: v })]));
    if (s.installing) $("#install-result").textContent = "An installation is running…";
  } catch (_) { /* the facts are optional */ }
}

async function readEvents(response, onEvent) {
  const reader = response.body.getReader();
  const decoder = new TextDecoder();
  let buf = "";
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    buf += decoder.decode(value, { stream: true });
    let cut;
    while ((cut = buf.indexOf("\n\n")) >= 0) {
      const block = buf.slice(0, cut);
      buf = buf.slice(cut + 2);
      let name = "message";
      const data = [];
      for (const line of block.split("\n")) {
        if (line.startsWith("event:")) name = line.slice(6).trim();
        else if (line.startsWith("data:")) data.push(line.slice(5).replace(/^ /, ""));
      }
      if (!data.length) continue;
      let parsed = null;
      try { parsed = JSON.parse(data.join("\n")); } catch (_) { parsed = data.join("\n"); }
      if (onEvent(name, parsed) === false) { reader.cancel(); return; }
    }
  }
}

async function install() {
  const btn = $("#install-btn");
  const log = $("#install-log");
  const result = $("#install-result");
  const next = $("#install-next");
  const lines = [];
  btn.disabled = true;
  log.textContent = "";
  result.className = "";
  next.hidden = true;
  result.textContent = "Installing… this takes a few minutes.";
  const fail = (error) => {
    const why = explainInstallFailure(error, lines);
    result.className = "failed";
    result.textContent = `Installation failed. ${why.cause}`;
    next.replaceChildren(document.createTextNode(why.next), " ", el("br"), "Or install it by hand in a terminal: ",
      el("code", { text: `curl -fsSL ${$("#install-url").textContent} | bash` }), ", then restart the dashboard.");
    next.hidden = false;
    btn.textContent = "Try again";
    btn.disabled = false;
  };
  try {
    const res = await fetch("/setup/install", { method: "POST" });
    if (!res.ok) {
      let detail = res.statusText;
      try { detail = (await res.json()).detail; } catch (_) { /* keep the status text */ }
      throw new Error(detail);
    }
    await readEvents(res, (name, data) => {
      if (name === "line") {
        lines.push(data.line ?? "");
        log.append(document.createTextNode((data.line ?? "") + "\n"));
        log.scrollTop = log.scrollHeight;
      } else if (name === "done") {
        if (data.ok) {
          result.className = "ok";
          result.textContent = data.engine ? "Installed. Starting the chat…" : "Installed. Restart the dashboard to start chatting.";
          if (data.engine) setTimeout(() => location.reload(), 1200);
        } else {
          fail(data.error || "unknown error");
        }
        return false;
      }
      return true;
    });
  } catch (e) {
    fail(e.message);
  }
}

// -- without the access token ---------------------------------------------------------

// The page reaches nothing without the token: say how to open it, or take
// the token pasted here (opening /?token=… sets the cookie).
function showLocked() {
  if (!$("#locked").hidden) return;
  closeStream();
  $("#app").hidden = true;
  $("#install-screen").hidden = true;
  $("#locked").hidden = false;
  $("#locked-url").textContent = `${location.origin}/?token=…`;
  if (sessionStorage.getItem("token-tried")) {
    $("#token-error").textContent = "That token was not accepted.";
    sessionStorage.removeItem("token-tried");
  }
  $("#token-form").addEventListener("submit", (e) => {
    e.preventDefault();
    const token = $("#token-input").value.trim();
    if (!token) return;
    const query = new URLSearchParams(location.search);
    query.set("token", token);
    sessionStorage.setItem("token-tried", "1");
    location.assign(`/?${query}`);
  });
  $("#token-input").focus();
  document.body.dataset.locked = "1";
}

// -- start ------------------------------------------------------------------------

async function start() {
  $("#composer").addEventListener("submit", send);
  const input = $("#composer-input");
  input.addEventListener("keydown", (e) => {
    if (e.key === "Enter" && !e.shiftKey && !e.isComposing) send(e);
  });
  input.addEventListener("input", autoSize);
  input.addEventListener("paste", (e) => {
    const files = [...(e.clipboardData?.files || [])].filter((f) => f.type.startsWith("image/"));
    if (files.length) { e.preventDefault(); attach(files); }
  });
  $("#attach-btn").addEventListener("click", () => $("#attach-input").click());
  $("#attach-input").addEventListener("change", (e) => { attach([...e.target.files]); e.target.value = ""; });
  setupDrop();
  $("#stop-btn").addEventListener("click", stop);
  $("#image-close").addEventListener("click", () => $("#image-dialog").close());
  $("#image-dialog").addEventListener("click", (e) => { if (e.target === $("#image-dialog")) $("#image-dialog").close(); });
  $("#new-chat").addEventListener("click", () => newChat());
  $("#profile-select").addEventListener("change", switchProfile);
  setupModelPicker();
  $("#export-btn").addEventListener("click", exportChat);
  $("#permissions-btn").addEventListener("click", showPermissions);
  $("#permissions-close").addEventListener("click", () => $("#permissions-dialog").close());
  $("#install-btn").addEventListener("click", install);
  $("#jump-latest").addEventListener("click", jumpToLatest);
  $("#drawer-open").addEventListener("click", openDrawer);
  $("#drawer-close").addEventListener("click", closeDrawer);
  $("#scrim").addEventListener("click", closeDrawer);
  document.addEventListener("keydown", onShortcut);
  $("#skip-sessions").addEventListener("click", (e) => {
    e.preventDefault();
    if (window.matchMedia("(max-width: 760px)").matches) openDrawer();
    else $("#new-chat").focus();
  });
  Sessions.setup();
  watchHost();
  const box = $("#messages");
  box.addEventListener("scroll", () => {
    state.follow = atBottom();
    if (state.follow) state.pinned = box.scrollTop;
    $("#jump-latest").hidden = state.follow;
  }, { passive: true });
  box.addEventListener("wheel", (e) => { if (e.deltaY < 0) state.follow = false; }, { passive: true });
  window.addEventListener("popstate", () => {
    const s = sessionFromUrl();
    if (s && s !== state.sessionId) selectSession(s, false);
    else if (!s && state.sessionId) newChat(false);
  });

  let health = { engine: null };
  try { health = await api("GET", "/health"); } catch (_) { /* shown below */ }
  if (health.access === "token required") {
    showLocked();
    document.body.dataset.ready = "1";
    return;
  }
  sessionStorage.removeItem("token-tried");
  const names = { standin: "stand-in engine", installed: "installed engine" };
  // The host names the engine and, on a model endpoint, its model and host.
  const badge = $("#engine-badge");
  badge.textContent = health.engine_label || names[health.engine] || "no engine";
  badge.title = `Agent engine in use: ${badge.textContent}`;
  document.body.dataset.engine = health.engine || "none";
  if (!health.engine) {
    await showInstallScreen(health.engine_error);
    document.body.dataset.ready = "1";
    return;
  }
  try {
    const s = await api("GET", "/setup/status");
    $("#key-warning").hidden = !!s.api_key || health.engine === "standin";
  } catch (_) { /* optional */ }
  const wanted = sessionFromUrl();
  if (wanted) selectSession(wanted, false);
  try {
    await Promise.all([loadProfiles(), loadModels(), refreshSessions()]);
  } catch (e) {
    toast(`Could not load the page's settings: ${e.message}`);
  }
  // The routes of views beyond the chat itself: hidden where the host has none.
  try {
    await api("GET", "/permissions");
    state.routes = true;
  } catch (e) {
    state.routes = e.status !== 404 && e.status !== 405;
  }
  $("#permissions-btn").hidden = !state.routes;
  setBusy();
  openEvents();
  input.focus();
  document.body.dataset.ready = "1";
  // "Last used …" stays true, and sessions started elsewhere appear.
  setInterval(() => { if (!document.hidden && !document.querySelector(".rename-input")) refreshSessions(); }, 60000);
}

start();
