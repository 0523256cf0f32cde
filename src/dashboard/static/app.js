// The chat page: sessions, the streamed reply, approvals, stop, images,
// model and profile pickers, and the install screen.
"use strict";

const $ = (sel) => document.querySelector(sel);

const state = {
  sessionId: null,      // the selected session (null: a new chat not sent yet)
  titles: new Map(),    // session id -> title
  stream: null,         // {sessionId, abort} of the open event stream
  bubble: null,         // the assistant message being streamed
  running: false,
  pending: 0,
  attachments: [],      // {id, url} of uploaded images for the next message
};

// -- small helpers -----------------------------------------------------------

function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === "class") node.className = v;
    else if (k === "text") node.textContent = v;
    else if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
    else if (v !== undefined && v !== null) node.setAttribute(k, v);
  }
  for (const c of children) if (c) node.append(c);
  return node;
}

async function api(method, path, body) {
  const opts = { method, headers: {} };
  if (body instanceof FormData) opts.body = body;
  else if (body !== undefined) {
    opts.headers["Content-Type"] = "application/json";
    opts.body = JSON.stringify(body);
  }
  const res = await fetch(path, opts);
  let data = null;
  try { data = await res.json(); } catch (_) { /* empty body */ }
  if (!res.ok) throw new Error((data && data.detail) || `${res.status} ${res.statusText}`);
  return data;
}

function scrollDown() {
  const box = $("#messages");
  box.scrollTop = box.scrollHeight;
}

function textOf(content) {
  if (typeof content === "string") return content;
  if (Array.isArray(content)) return content.map((p) => (p && typeof p.text === "string" ? p.text : "")).join("");
  return "";
}

// Reads a server-sent-event response: calls onEvent(name, data) per event.
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
        if (line.startsWith(":")) continue;
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

// -- rendering ---------------------------------------------------------------

function clearMessages() {
  $("#messages").replaceChildren(el("div", { id: "empty-hint", class: "empty", text: "Send a message to start a conversation." }));
  state.bubble = null;
}

function hideHint() {
  const hint = $("#empty-hint");
  if (hint) hint.remove();
}

function addUser(text, images = [], queuedPosition = 0) {
  hideHint();
  const node = el("div", { class: "msg user" });
  for (const url of images) node.append(el("img", { class: "thumb", src: url, alt: "attached image" }));
  node.append(document.createTextNode(text));
  if (queuedPosition) node.append(el("span", { class: "queued-badge", text: `queued #${queuedPosition}` }));
  if (queuedPosition) node.dataset.queued = "1";
  $("#messages").append(node);
  scrollDown();
  return node;
}

function newAssistant() {
  hideHint();
  const activity = el("details", { class: "activity", hidden: "" },
    el("summary", { text: "Working…" }),
    el("div", { class: "thinking-text" }),
    el("div", { class: "reasoning-text" }),
    el("div", { class: "tools" }));
  const node = el("div", { class: "msg assistant streaming" }, activity, el("div", { class: "extras" }), el("div", { class: "reply" }));
  $("#messages").append(node);
  scrollDown();
  return node;
}

function bubble() {
  if (!state.bubble) state.bubble = newAssistant();
  return state.bubble;
}

function addAssistantText(node, text) {
  node.querySelector(".reply").append(document.createTextNode(text));
}

function activity(node) {
  const box = node.querySelector(".activity");
  box.hidden = false;
  return box;
}

function renderHistory(messages) {
  clearMessages();
  for (const m of messages) {
    const text = textOf(m.content);
    if (m.role === "user") addUser(text);
    else if (m.role === "assistant" && text) {
      const node = newAssistant();
      node.classList.remove("streaming");
      addAssistantText(node, text);
    }
  }
  state.bubble = null;
  scrollDown();
}

function setTitle(sessionId, title) {
  if (title) state.titles.set(sessionId, title);
  if (sessionId === state.sessionId) $("#session-title").textContent = title || "New chat";
  const item = document.querySelector(`.session-item[data-id="${CSS.escape(sessionId)}"]`);
  if (item && title) item.replaceChildren(document.createTextNode(title));
}

function setBusy() {
  const ind = $("#busy-indicator");
  const parts = [];
  if (state.running) parts.push("working");
  if (state.pending > 0) parts.push(`${state.pending} queued`);
  ind.hidden = parts.length === 0;
  ind.textContent = parts.join(" · ");
  $("#stop-btn").hidden = !state.running;
}

// -- records of the event stream ----------------------------------------------

function onRecord(type, data) {
  const d = data || {};
  switch (type) {
    case "turn_started": {
      state.running = true;
      if (d.queued) {
        const waiting = document.querySelector('.msg.user[data-queued="1"]');
        if (waiting) {
          delete waiting.dataset.queued;
          const badge = waiting.querySelector(".queued-badge");
          if (badge) badge.remove();
        } else {
          addUser(d.message || "");
        }
        state.pending = Math.max(0, state.pending - 1);
        if (state.bubble) state.bubble.classList.remove("streaming");
        state.bubble = null;
      }
      bubble();
      break;
    }
    case "delta":
      addAssistantText(bubble(), typeof data === "string" ? data : "");
      break;
    case "thinking": {
      if (d.text) activity(bubble()).querySelector(".thinking-text").textContent = d.text;
      break;
    }
    case "reasoning_delta":
    case "reasoning": {
      const box = activity(bubble());
      const r = box.querySelector(".reasoning-text");
      // The deltas stream the reasoning live; the full text replaces them.
      if (type === "reasoning") { if (d.text) r.textContent = d.text; }
      else if (d.text) r.append(document.createTextNode(d.text));
      break;
    }
    case "tool_started": {
      const box = activity(bubble());
      box.open = true;
      const line = el("div", { class: "tool-line running", text: `${d.emoji || "⚡"} ${d.tool || "tool"}${d.preview ? " — " + d.preview : ""}` });
      line.dataset.tool = d.tool || "";
      box.querySelector(".tools").append(line);
      break;
    }
    case "tool_completed": {
      const box = activity(bubble());
      const lines = [...box.querySelectorAll(".tool-line.running")].filter((n) => n.dataset.tool === (d.tool || ""));
      const line = lines[0] || box.querySelector(".tools").appendChild(el("div", { class: "tool-line" }));
      line.classList.remove("running");
      line.classList.add(d.is_error ? "failed" : "done");
      line.textContent = `${d.emoji || "⚡"} ${d.tool || "tool"}${d.preview ? " — " + d.preview : ""} (${d.is_error ? "failed" : "done"}, ${d.duration ?? 0}s)`;
      break;
    }
    case "status": {
      const node = bubble();
      node.querySelector(".extras").append(el("div", { class: "status-line", text: `${d.event || "status"}: ${d.message ?? ""}` }));
      break;
    }
    case "approval_required":
      showApproval(d);
      break;
    case "busy":
      state.pending = Math.max(state.pending, d.position || 1);
      setBusy();
      break;
    case "title_updated":
      setTitle(d.session_id, d.title);
      break;
    case "error":
      bubble().querySelector(".extras").append(el("div", { class: "error-line", text: `Error: ${d.message || "the turn failed"}` }));
      break;
    case "done":
      finishTurn();
      return false;
    default:
      break;
  }
  setBusy();
  scrollDown();
  return true;
}

function showApproval(d) {
  const node = bubble();
  const card = el("div", { class: "approval" },
    el("h3", { text: "⚠️ Approval needed" }),
    el("div", { text: d.description || "dangerous command" }),
    el("pre", { text: d.command || "" }));
  const outcome = el("div", { class: "outcome" });
  const choices = el("div", { class: "choices" });
  const labels = [["once", "Allow once"], ["session", "Allow for this session"], ["always", "Always allow"], ["deny", "Deny"]];
  for (const [choice, label] of labels) {
    choices.append(el("button", {
      type: "button", class: choice === "deny" ? "danger" : "primary", "data-choice": choice, text: label,
      onclick: async () => {
        for (const b of choices.querySelectorAll("button")) b.disabled = true;
        try {
          const r = await api("POST", "/chat/approve", { session_id: d.session_id || state.sessionId, choice });
          outcome.textContent = r.resolved ? `${label} — sent.` : "Nothing was waiting for an answer any more.";
        } catch (e) {
          outcome.textContent = `Could not answer: ${e.message}`;
          for (const b of choices.querySelectorAll("button")) b.disabled = false;
        }
      },
    }));
  }
  card.append(choices, outcome);
  node.querySelector(".extras").append(card);
}

function finishTurn() {
  if (state.bubble) {
    state.bubble.classList.remove("streaming");
    const summary = state.bubble.querySelector(".activity summary");
    if (summary) summary.textContent = "Activity";
  }
  state.bubble = null;
  state.running = false;
  setBusy();
}

// -- the event stream of the selected session ------------------------------------

function closeStream() {
  if (state.stream) state.stream.abort.abort();
  state.stream = null;
}

async function openStream(sessionId) {
  if (state.stream && state.stream.sessionId === sessionId) return;
  closeStream();
  const abort = new AbortController();
  const mine = { sessionId, abort };
  state.stream = mine;
  let ended = false;
  try {
    const res = await fetch(`/chat/stream/${encodeURIComponent(sessionId)}`, { signal: abort.signal });
    if (!res.ok) throw new Error(`stream: ${res.status}`);
    await readEvents(res, (name, data) => {
      if (state.stream !== mine) return false;
      const go = onRecord(name, data);
      if (go === false) ended = true;
      return go;
    });
  } catch (e) {
    if (abort.signal.aborted) return;
  } finally {
    if (state.stream === mine) state.stream = null;
  }
  if (state.sessionId !== sessionId) return;
  await afterStream(sessionId, ended);
}

// After a turn's stream ended: pick up queued turns, the title and the stored reply.
async function afterStream(sessionId, ended) {
  let status = { running: false, pending: 0 };
  try { status = await api("GET", `/chat/status/${encodeURIComponent(sessionId)}`); } catch (_) { /* keep going */ }
  if (state.sessionId !== sessionId) return;
  state.pending = status.pending || 0;
  state.running = !!status.running;
  setBusy();
  if (status.running || status.pending) {
    setTimeout(() => state.sessionId === sessionId && openStream(sessionId), ended ? 0 : 1000);
    return;
  }
  refreshSessions();
  for (const delay of [1200, 3500, 8000]) {
    setTimeout(() => {
      if (state.sessionId === sessionId && !state.titles.get(sessionId)) refreshSessions();
    }, delay);
  }
}

// -- sessions -----------------------------------------------------------------

async function refreshSessions() {
  let data;
  try { data = await api("GET", "/sessions"); } catch (_) { return; }
  const list = $("#session-list");
  const known = new Set();
  list.replaceChildren();
  const rows = data.sessions || [];
  if (state.sessionId && !rows.some((s) => s.session_id === state.sessionId)) {
    rows.unshift({ session_id: state.sessionId, title: state.titles.get(state.sessionId) || "" });
  }
  for (const s of rows) {
    if (known.has(s.session_id)) continue;
    known.add(s.session_id);
    if (s.title) state.titles.set(s.session_id, s.title);
    const title = s.title || state.titles.get(s.session_id) || "";
    const item = el("li", { class: "session-item" + (s.session_id === state.sessionId ? " active" : ""), "data-id": s.session_id, title: s.session_id });
    if (title) item.textContent = title;
    else item.append(el("span", { class: "untitled", text: "Untitled chat" }));
    item.addEventListener("click", () => selectSession(s.session_id));
    list.append(item);
  }
  if (state.sessionId) setTitle(state.sessionId, state.titles.get(state.sessionId) || "");
}

async function selectSession(sessionId) {
  closeStream();
  state.sessionId = sessionId;
  state.running = false;
  state.pending = 0;
  setBusy();
  for (const item of document.querySelectorAll(".session-item")) item.classList.toggle("active", item.dataset.id === sessionId);
  setTitle(sessionId, state.titles.get(sessionId) || "");
  try {
    const hist = await api("GET", `/chat/history/${encodeURIComponent(sessionId)}`);
    if (state.sessionId !== sessionId) return;
    renderHistory(hist.messages || []);
    const status = await api("GET", `/chat/status/${encodeURIComponent(sessionId)}`);
    state.running = !!status.running;
    state.pending = status.pending || 0;
    setBusy();
    if (status.running || status.pending) openStream(sessionId);
  } catch (e) {
    clearMessages();
  }
}

function newChat() {
  closeStream();
  state.sessionId = null;
  state.running = false;
  state.pending = 0;
  clearMessages();
  setBusy();
  $("#session-title").textContent = "New chat";
  for (const item of document.querySelectorAll(".session-item")) item.classList.remove("active");
  $("#composer-input").focus();
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
    const res = await api("POST", "/chat/send", {
      session_id: state.sessionId || undefined,
      message: text,
      images: images.map((a) => a.id),
    });
    const isNew = state.sessionId !== res.session_id;
    state.sessionId = res.session_id;
    input.value = "";
    autoSize();
    state.attachments = [];
    renderAttachments();
    if (isNew) refreshSessions();
    if (res.status === "queued") {
      state.pending = Math.max(state.pending, res.position);
      addUser(text, images.map((a) => a.url), res.position);
    } else {
      if (state.bubble) state.bubble.classList.remove("streaming");
      state.bubble = null;
      addUser(text, images.map((a) => a.url));
      state.running = true;
    }
    setBusy();
    openStream(res.session_id);
  } catch (e) {
    alert(`Could not send: ${e.message}`);
  } finally {
    $("#send-btn").disabled = false;
  }
}

async function stop() {
  if (!state.sessionId) return;
  $("#stop-btn").disabled = true;
  // The turn may end (and its bubble be finished) before the answer arrives.
  const node = state.bubble;
  try {
    const r = await api("POST", "/chat/stop", { session_id: state.sessionId });
    if (r.stopped && node) node.querySelector(".extras").append(el("div", { class: "stopped-line", text: "Stopped." }));
  } catch (e) {
    alert(`Could not stop: ${e.message}`);
  } finally {
    $("#stop-btn").disabled = false;
  }
}

function renderAttachments() {
  const box = $("#attachments");
  box.replaceChildren();
  state.attachments.forEach((a, i) => {
    box.append(el("div", { class: "attachment" },
      el("img", { src: a.url, alt: a.name || "image" }),
      el("button", { type: "button", title: "Remove", text: "×", onclick: () => { state.attachments.splice(i, 1); renderAttachments(); } })));
  });
}

async function attach(files) {
  for (const file of files) {
    const form = new FormData();
    form.append("file", file, file.name);
    try {
      const r = await api("POST", "/chat/upload", form);
      state.attachments.push({ id: r.id, url: URL.createObjectURL(file), name: file.name });
    } catch (e) {
      alert(`Could not attach ${file.name}: ${e.message}`);
    }
  }
  renderAttachments();
}

function autoSize() {
  const t = $("#composer-input");
  t.style.height = "auto";
  t.style.height = Math.min(t.scrollHeight, 200) + "px";
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
    name = (prompt("Name of the new profile:") || "").trim();
    create = true;
    if (!name) { sel.value = sel.dataset.active; return; }
  }
  try {
    await api("POST", "/profiles/active", { name, create });
  } catch (e) {
    alert(`Could not switch profile: ${e.message}`);
  }
  await loadProfiles();
  await loadModels();
  newChat();
  state.titles.clear();
  await refreshSessions();
}

async function loadModels() {
  const data = await api("GET", "/model");
  const sel = $("#model-select");
  sel.replaceChildren(...data.choices.map((m) => el("option", { value: m, text: m })), el("option", { value: "__other__", text: "Other…" }));
  sel.value = data.model;
  sel.dataset.current = data.model;
}

async function changeModel() {
  const sel = $("#model-select");
  let model = sel.value;
  if (model === "__other__") {
    model = (prompt("Model name (for example provider/model):") || "").trim();
    if (!model) { sel.value = sel.dataset.current; return; }
  }
  try {
    await api("POST", "/model", { model });
  } catch (e) {
    alert(`Could not change the model: ${e.message}`);
  }
  await loadModels();
}

// -- install screen ------------------------------------------------------------------

async function showInstallScreen(engineError) {
  $("#install-screen").hidden = false;
  if (engineError) $("#install-result").textContent = `The engine could not be loaded: ${engineError}`;
  try {
    const s = await api("GET", "/setup/status");
    const facts = [["Installed", s.installed ? "yes" : "no"], ["Version", s.version || "—"], ["API key", s.api_key ? "set" : "missing"]];
    $("#setup-facts").replaceChildren(...facts.flatMap(([k, v]) => [el("dt", { text: k }), el("dd", { text: v })]));
    if (s.installing) $("#install-result").textContent = "An installation is running…";
  } catch (_) { /* the facts are optional */ }
}

async function install() {
  const btn = $("#install-btn");
  const log = $("#install-log");
  const result = $("#install-result");
  btn.disabled = true;
  log.textContent = "";
  result.className = "";
  result.textContent = "Installing…";
  try {
    const res = await fetch("/setup/install", { method: "POST" });
    if (!res.ok) {
      let detail = res.statusText;
      try { detail = (await res.json()).detail; } catch (_) { /* keep the status text */ }
      throw new Error(detail);
    }
    await readEvents(res, (name, data) => {
      if (name === "line") {
        log.append(document.createTextNode((data.line ?? "") + "\n"));
        log.scrollTop = log.scrollHeight;
      } else if (name === "done") {
        if (data.ok) {
          result.className = "ok";
          result.textContent = data.engine ? "Installed. Starting the chat…" : "Installed. Restart the dashboard to start chatting.";
          if (data.engine) setTimeout(() => location.reload(), 1200);
        } else {
          result.className = "failed";
          result.textContent = `Installation failed: ${data.error || "unknown error"}`;
          btn.disabled = false;
        }
        return false;
      }
      return true;
    });
  } catch (e) {
    result.className = "failed";
    result.textContent = `Installation failed: ${e.message}`;
    btn.disabled = false;
  }
}

// -- start ------------------------------------------------------------------------

async function start() {
  $("#composer").addEventListener("submit", send);
  $("#composer-input").addEventListener("keydown", (e) => {
    if (e.key === "Enter" && !e.shiftKey && !e.isComposing) send(e);
  });
  $("#composer-input").addEventListener("input", autoSize);
  $("#composer-input").addEventListener("paste", (e) => {
    const files = [...(e.clipboardData?.files || [])].filter((f) => f.type.startsWith("image/"));
    if (files.length) { e.preventDefault(); attach(files); }
  });
  $("#attach-input").addEventListener("change", (e) => { attach([...e.target.files]); e.target.value = ""; });
  $("#stop-btn").addEventListener("click", stop);
  $("#new-chat").addEventListener("click", newChat);
  $("#profile-select").addEventListener("change", switchProfile);
  $("#model-select").addEventListener("change", changeModel);
  $("#install-btn").addEventListener("click", install);

  let health = { engine: null };
  try { health = await api("GET", "/health"); } catch (_) { /* shown below */ }
  const names = { standin: "stand-in engine", installed: "installed engine" };
  $("#engine-badge").textContent = names[health.engine] || "no engine";
  document.body.dataset.engine = health.engine || "none";
  if (!health.engine) {
    await showInstallScreen(health.engine_error);
    return;
  }
  try {
    const s = await api("GET", "/setup/status");
    $("#key-warning").hidden = !!s.api_key || health.engine === "standin";
  } catch (_) { /* optional */ }
  await Promise.all([loadProfiles(), loadModels(), refreshSessions()]);
  $("#composer-input").focus();
  document.body.dataset.ready = "1";
}

start();
