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
  const AUTO_LANGUAGES = ["bash", "python", "javascript", "typescript", "json", "cpp", "c", "java",
    "go", "rust", "sql", "yaml", "xml", "css", "diff", "markdown", "shell"];
  const MAX_PIECE_CHARS = 16000;          // text rendered in one go
  const TAIL_INTERVAL_MS = 120;           // how often the unfinished tail is rendered again

  if (window.marked && marked.setOptions) marked.setOptions({ gfm: true, breaks: false, headerIds: false, mangle: false });

  // Links open in a new tab and never hand over the page.
  if (window.DOMPurify) {
    DOMPurify.addHook("afterSanitizeAttributes", (node) => {
      if (node.tagName === "A" && node.hasAttribute("href")) {
        node.setAttribute("target", "_blank");
        node.setAttribute("rel", "noopener noreferrer");
      }
    });
  }

  function toHtml(text) {
    if (!window.marked || !window.DOMPurify) return null;
    return DOMPurify.sanitize(marked.parse(text), { USE_PROFILES: { html: true }, FORBID_TAGS: ["style", "form", "input"] });
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

  function highlight(code) {
    if (!window.hljs) return;
    const text = code.textContent;
    if (text.length > MAX_HIGHLIGHT_CHARS) return;
    const m = /(?:^|\s)language-([\w+#.-]+)/.exec(code.className);
    const lang = m && hljs.getLanguage(m[1]) ? m[1] : null;
    try {
      const out = lang ? hljs.highlight(lang, text, true) : (text.length < 4000 ? hljs.highlightAuto(text, AUTO_LANGUAGES) : null);
      if (!out) return;
      code.innerHTML = out.value;   // highlight.js escapes the code it colours
      code.classList.add("hljs");
    } catch (_) { /* left plain */ }
  }

  // Code blocks of a finished piece: colour them and give each a copy button.
  function decorate(root, colour) {
    for (const pre of root.querySelectorAll("pre")) {
      const code = pre.querySelector("code");
      if (!code || pre.parentElement.classList.contains("code-block")) continue;
      if (colour) highlight(code);
      const wrap = document.createElement("div");
      wrap.className = "code-block";
      const m = /(?:^|\s)language-([\w+#.-]+)/.exec(code.className);
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
      const cut = safeCut(this.text, this.done);
      if (cut > this.done) {
        const piece = document.createElement("div");
        piece.className = "md-piece";
        fill(piece, this.text.slice(this.done, cut), true);
        if (this.tail) this.root.insertBefore(piece, this.tail);
        else this.root.append(piece);
        this.done = cut;
        if (safeCut(this.text, this.done) > this.done) {
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
      const rest = this.text.slice(this.done);
      if (rest.length > MAX_PIECE_CHARS * 2 && !this.finished) {
        // A huge paragraph without breaks: show it as text until it ends.
        this.tail.textContent = rest;
      } else {
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
