// Markdown replies: parsed by marked, cleaned by DOMPurify, code coloured by
// highlight.js, with a copy button on every code block.
//
// A streamed reply is rendered in pieces so that a long one never blocks the
// page: the text up to the last paragraph break outside a code fence is
// rendered once into a fixed block, and only the unfinished tail is rendered
// again as more text arrives, at most once per frame budget.
"use strict";

const Markdown = (() => {
  const MAX_HIGHLIGHT_CHARS = 20000;      // longer code blocks stay plain
  const MAX_PIECE_CHARS = 2000;           // text rendered in one go
  const PLAIN_CHARS = 12000;              // a longer unbroken paragraph stays plain text
  const BUDGET_MS = 8;                    // work done before the page gets a turn again
  const TAIL_INTERVAL_MS = 120;           // how often the unfinished tail is rendered again

  if (window.marked && marked.setOptions) marked.setOptions({ gfm: true, breaks: false, headerIds: false, mangle: false });

  // A reply is text from a model: it may show things, never act. It keeps no
  // form controls, no ids or names (nothing the page's own elements could be
  // mistaken for), no styles (nothing laid over the page's controls), no
  // autofocus, and no classes but a code block's language.
  const REPLY_POLICY = {
    USE_PROFILES: { html: true },
    FORBID_TAGS: ["style", "form", "input", "textarea", "button", "select", "option", "optgroup",
      "datalist", "fieldset", "legend", "label", "output", "dialog"],
    FORBID_ATTR: ["id", "name", "for", "form", "formaction", "style", "autofocus", "accesskey", "tabindex"],
    ALLOW_DATA_ATTR: false,
    ALLOW_ARIA_ATTR: false,
  };
  const LANGUAGE_CLASS = /^language-[\w+#.-]+$/;

  if (window.DOMPurify) {
    DOMPurify.addHook("uponSanitizeAttribute", (node, data) => {
      if (data.attrName !== "class") return;
      data.attrValue = data.attrValue.split(/\s+/).filter((c) => LANGUAGE_CLASS.test(c)).join(" ");
      if (!data.attrValue) data.keepAttr = false;
    });
    // Links open in a new tab and never hand over the page.
    DOMPurify.addHook("afterSanitizeAttributes", (node) => {
      if (node.tagName === "A" && node.hasAttribute("href")) {
        node.setAttribute("target", "_blank");
        node.setAttribute("rel", "noopener noreferrer");
      }
      // A picture without words still tells a screen reader it is there.
      if (node.tagName === "IMG" && !node.hasAttribute("alt")) node.setAttribute("alt", "image in the reply");
    });
  }

  function toHtml(text) {
    if (!window.marked || !window.DOMPurify) return null;
    return DOMPurify.sanitize(marked.parse(text), REPLY_POLICY);
  }

  function copyText(text) {
    if (navigator.clipboard && window.isSecureContext) return navigator.clipboard.writeText(text);
    const area = document.createElement("textarea");
    area.value = text;
    area.setAttribute("readonly", "");
    area.style.position = "fixed";
    area.style.opacity = "0";
    document.body.append(area);
    area.select();
    try { document.execCommand("copy"); } finally { area.remove(); }
    return Promise.resolve();
  }

  function copyButton(label, getText) {
    const btn = document.createElement("button");
    btn.type = "button";
    btn.className = "copy-btn";
    btn.textContent = "Copy";
    btn.setAttribute("aria-label", label);
    btn.addEventListener("click", async () => {
      try {
        await copyText(getText());
        btn.textContent = "Copied";
      } catch (_) {
        btn.textContent = "Copy failed";
      }
      setTimeout(() => { btn.textContent = "Copy"; }, 1600);
    });
    return btn;
  }

  // Code is coloured by highlight.js in a worker (see highlight-worker.js).
  let worker = null;
  let nextId = 1;
  const waiting = new Map();   // request id -> code element

  function colourer() {
    if (worker === null) {
      try {
        worker = new Worker("/static/highlight-worker.js");
        worker.onmessage = (e) => {
          const code = waiting.get(e.data.id);
          waiting.delete(e.data.id);
          if (!code || !e.data.html || !code.isConnected || code.textContent !== code.dataset.source) return;
          code.innerHTML = e.data.html;
          code.classList.add("hljs");
          delete code.dataset.source;
        };
        worker.onerror = () => { worker = false; waiting.clear(); };
      } catch (_) {
        worker = false;
      }
    }
    return worker || null;
  }

  function highlight(code, lang) {
    const text = code.textContent;
    if (text.length > MAX_HIGHLIGHT_CHARS || !text.trim()) return;
    const w = colourer();
    if (!w) return;
    const id = nextId++;
    waiting.set(id, code);
    code.dataset.source = text;
    w.postMessage({ id, text, lang });
  }

  // Code blocks of a finished piece: colour them and give each a copy button.
  function decorate(root, colour) {
    for (const pre of root.querySelectorAll("pre")) {
      const code = pre.querySelector("code");
      if (!code || pre.parentElement.classList.contains("code-block")) continue;
      const m = /(?:^|\s)language-([\w+#.-]+)/.exec(code.className);
      if (colour) highlight(code, m ? m[1] : null);
      const wrap = document.createElement("div");
      wrap.className = "code-block";
      const bar = document.createElement("div");
      bar.className = "code-bar";
      const name = document.createElement("span");
      name.textContent = m ? m[1] : "code";
      bar.append(name, copyButton(`Copy ${m ? m[1] + " " : ""}code`, () => code.textContent));
      pre.replaceWith(wrap);
      wrap.append(bar, pre);
    }
  }

  function fill(node, text, colour) {
    const html = toHtml(text);
    if (html === null) { node.textContent = text; return; }
    node.innerHTML = html;
    decorate(node, colour);
  }

  // Where the text can be cut into a finished part and an open tail: after the
  // last blank line that is outside a code fence.
  function safeCut(text, from) {
    let cut = -1;
    let fence = null;
    let i = from;
    while (i < text.length) {
      let end = text.indexOf("\n", i);
      if (end < 0) break;   // the last line is still open
      const line = text.slice(i, end);
      const m = /^ {0,3}(`{3,}|~{3,})/.exec(line);
      if (m) {
        if (!fence) fence = m[1];
        else if (m[1][0] === fence[0] && m[1].length >= fence.length && line.trim() === m[1]) fence = null;
      } else if (!fence && line.trim() === "" && i > from) {
        cut = end + 1;
      }
      if (!fence && cut > from && end + 1 - from > MAX_PIECE_CHARS) break;
      i = end + 1;
    }
    return cut;
  }

  // A reply being streamed into `root`: append() text, finish() at the end.
  class Stream {
    constructor(root) {
      this.root = root;
      this.text = "";
      this.done = 0;           // chars already rendered into fixed pieces
      this.tail = null;
      this.timer = 0;
      this.lastTail = 0;
      this.finished = false;
      this.onRender = null;
    }

    append(text) {
      if (!text) return;
      this.text += text;
      this.schedule();
    }

    // Replace the whole text (a stored reply, or a replayed turn).
    reset(text) {
      this.text = text || "";
      this.done = 0;
      this.root.replaceChildren();
      this.tail = null;
      this.schedule();
    }

    schedule() {
      if (this.timer) return;
      const wait = Math.max(0, TAIL_INTERVAL_MS - (performance.now() - this.lastTail));
      this.timer = setTimeout(() => { this.timer = 0; this.step(); }, wait);
    }

    // One bounded piece of work; schedules itself again while work is left.
    step() {
      const started = performance.now();
      let cut;
      while ((cut = safeCut(this.text, this.done)) > this.done) {
        const piece = document.createElement("div");
        piece.className = "md-piece";
        fill(piece, this.text.slice(this.done, cut), true);
        if (this.tail) this.root.insertBefore(piece, this.tail);
        else this.root.append(piece);
        this.done = cut;
        if (performance.now() - started > BUDGET_MS) {
          this.timer = setTimeout(() => { this.timer = 0; this.step(); }, 0);
          if (this.onRender) this.onRender();
          return;
        }
      }
      if (!this.tail) {
        this.tail = document.createElement("div");
        this.tail.className = "md-piece md-tail";
        this.root.append(this.tail);
      }
      let rest = this.text.slice(this.done);
      while (rest.length > PLAIN_CHARS && !/^ {0,3}(`{3,}|~{3,})/m.test(rest)) {
        // A huge paragraph without breaks: its older part becomes fixed
        // plain text, cut at a space, so that only the newest part is laid
        // out again as it grows.
        let cut = rest.lastIndexOf(" ", MAX_PIECE_CHARS * 2);
        if (cut < MAX_PIECE_CHARS) cut = MAX_PIECE_CHARS * 2;
        const piece = document.createElement("div");
        piece.className = "md-piece md-plain";
        piece.textContent = rest.slice(0, cut + 1);
        this.root.insertBefore(piece, this.tail);
        this.done += cut + 1;
        rest = rest.slice(cut + 1);
      }
      if (rest.length > PLAIN_CHARS) {
        // A huge paragraph without breaks is shown as text: parsing it again
        // and again would stall the page for little gain.
        this.tail.classList.add("md-plain");
        this.tail.textContent = rest;
      } else {
        this.tail.classList.remove("md-plain");
        fill(this.tail, rest, this.finished);
      }
      this.lastTail = performance.now();
      if (this.onRender) this.onRender();
      if (this.finished && this.resolve) { this.resolve(); this.resolve = null; }
    }

    // The reply is complete: render what is left, with code colours.
    finish() {
      this.finished = true;
      return new Promise((resolve) => {
        this.resolve = resolve;
        if (this.timer) return;
        this.timer = setTimeout(() => { this.timer = 0; this.step(); }, 0);
      });
    }
  }

  return { Stream, copyButton, copyText, toHtml, safeCut };
})();
