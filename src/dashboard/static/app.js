// The chat page's start, the model and profile pickers, the install screen
// and the locked screen. The rest lives in state.js, dialogs.js,
// messages.js, stream.js, sessions.js and composer.js.
"use strict";

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
