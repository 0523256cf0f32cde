// Messages to the person and dialogs of the page: toasts, the
// "Reconnecting…" banner, the screen reader, questions, the larger image,
// the export download and the Permissions view.
"use strict";

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
  document.body.classList.toggle("host-away", down);
  setBusy();
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
