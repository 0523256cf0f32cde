// The records of the open session's event stream, applied to the view,
// and the host-wide event stream.
"use strict";

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
  // Each connection starts over with the sessions that are not idle.
  es.onopen = () => {
    state.states.clear();
    Sessions.render();
  };
  on("hello", (d) => profileSeen(d.profile));
  on("profile_changed", (d) => profileSeen(d.profile));
  on("sessions_changed", (d) => {
    if (d.reason === "deleted" && d.session_id === state.sessionId && !deletingHere.has(d.session_id)) {
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
    // A chat made elsewhere may not have been in the engine's store yet when
    // its "created" came: the list is asked again once it is doing something.
    Sessions.render();
    if (!Sessions.has(d.session_id)) refreshSessions();
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
  if (!before) { loadProfiles().catch(() => {}); return; }   // not known yet: nothing to compare
  try { await Promise.all([loadProfiles(), loadModels()]); } catch (_) { /* shown when used */ }
  state.titles.clear();
  Sessions.forgetAll();
  if (state.sessionId) {
    newChat(false);
    toast(`Profile “${profile}” was made active in another window; the open chat belongs to “${before}” and was closed.`, "info");
  }
  await refreshSessions();
}
