// The page's shared state and small helpers: its own elements taken once
// by id, the open session's state, requests to the host, times.
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
