// Colours code off the page's thread: highlight.js is large to load and
// costly on long blocks, so the page hands code here and gets HTML back.
"use strict";
importScripts("/static/vendor/highlight.min.js");

const AUTO_LANGUAGES = ["bash", "python", "javascript", "typescript", "json", "cpp", "c", "java",
  "go", "rust", "sql", "yaml", "xml", "css", "diff", "markdown", "shell"];
const MAX_AUTO_CHARS = 4000;

self.onmessage = (e) => {
  const { id, text, lang } = e.data;
  let html = null;
  try {
    const out = lang && hljs.getLanguage(lang) ? hljs.highlight(lang, text, true)
      : (text.length < MAX_AUTO_CHARS ? hljs.highlightAuto(text, AUTO_LANGUAGES) : null);
    if (out) html = out.value;   // highlight.js escapes the code it colours
  } catch (_) { /* left plain */ }
  self.postMessage({ id, html });
};
