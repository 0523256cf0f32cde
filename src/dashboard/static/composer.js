// Writing and sending: the composer, stop, attachments, the page's
// keyboard shortcuts.
"use strict";

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
