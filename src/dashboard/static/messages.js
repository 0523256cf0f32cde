// The conversation as the page lays it out: messages, replies, their
// activity, times and controls, and the stored history.
"use strict";

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
  // The reader is here now: the view does not follow the stream meanwhile.
  state.follow = false;
  box.focus();
  box.setSelectionRange(box.value.length, box.value.length);
  form.scrollIntoView({ block: "nearest" });
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
    extras.append(el("div", { class: "cut-line stopped-line", text: "Stopped." }));
  } else if (status === "interrupted" && !node.querySelector(".interrupted-line")) {
    extras.append(el("div", { class: "cut-line interrupted-line",
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
    // The reasoning kept beside the turn's steps, folded with them.
    if (m.role === "assistant" && typeof m.reasoning === "string" && m.reasoning) {
      const r = activityBox(t).querySelector(".reasoning-text");
      r.textContent = r.textContent ? `${r.textContent}\n\n${m.reasoning}` : m.reasoning;
    }
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
  // While the host cannot be reached nothing is known to be working: the
  // banner says so, and the state comes back with the stream.
  const away = link.away || link.streamDown;
  ind.hidden = parts.length === 0 || away;
  ind.textContent = parts.join(" · ");
  $("#export-btn").hidden = !state.routes || !state.sessionId;
  $("#stop-btn").hidden = !state.running || away;
}
