// Tool steps in a reply's activity: each call the agent makes, with what it
// works on (the command or the path), its live output, how it ended and how
// long it took. A running step is open; a finished one folds away, its
// output a click away. Everything here is text: a command and its output
// are shown as they are, never as markup.
"use strict";

const Tools = (() => {
  const MAX_OUTPUT_CHARS = 200000;   // live output kept in the page per step (the end is kept)

  function make(tag, cls, text) {
    const node = document.createElement(tag);
    if (cls) node.className = cls;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function label(d) {
    return `${d.emoji || "⚡"} ${d.tool || "tool"}`;
  }

  // Show or fold a step's output.
  function setOpen(node, open) {
    node.classList.toggle("open", open);
    node.querySelector(".step-head").setAttribute("aria-expanded", String(open));
    const out = node.querySelector(".step-output");
    out.hidden = !open || !out.textContent;
  }

  // A new step: <div class="tool-line tool-step running"> with a head line
  // (tool, target, state) that folds the <pre> of the output under it.
  function step(box, tool, head, target) {
    const node = make("div", "tool-line tool-step running");
    node.dataset.tool = tool || "";
    node.dataset.label = target ? `${head} — ${target}` : head;
    const toggle = make("button", "step-head");
    toggle.type = "button";
    // Spaces between the pieces: a screen reader reads them as words.
    toggle.append(make("span", "step-tool", head), " ");
    if (target) toggle.append(make("code", "step-target", target), " ");
    toggle.append(make("span", "step-state", "running…"));
    toggle.addEventListener("click", () => setOpen(node, !node.classList.contains("open")));
    const output = make("pre", "step-output");
    node.append(toggle, output);
    setOpen(node, false);
    box.querySelector(".tools").append(node);
    return node;
  }

  function running(box) {
    const open = box.querySelectorAll(".tool-step.running");
    return open.length ? open[open.length - 1] : null;
  }

  function appendOutput(node, text) {
    const out = node.querySelector(".step-output");
    out.hidden = !node.classList.contains("open");
    let all = out.textContent + text;
    if (all.length > MAX_OUTPUT_CHARS) all = "[… earlier output not shown …]\n" + all.slice(-MAX_OUTPUT_CHARS);
    out.textContent = all;
    out.scrollTop = out.scrollHeight;
  }

  function settle(node, cls, stateText) {
    node.classList.remove("running", "done", "failed", "stopped");
    node.classList.add(cls);
    node.querySelector(".step-state").textContent = stateText;
    setOpen(node, false);
  }

  function seconds(value) {
    const n = Number(value);
    if (!isFinite(n)) return "";
    return n < 10 ? `${Math.round(n * 100) / 100}s` : `${Math.round(n)}s`;
  }

  return {
    // A "tool_started" record.
    started(box, d) {
      const node = step(box, d.tool, label(d), typeof d.preview === "string" ? d.preview : "");
      setOpen(node, true);
      return node;
    },

    // A "tool_completed" record; `stopAsked`: the user asked the turn to stop.
    completed(box, d, stopAsked) {
      const open = [...box.querySelectorAll(".tool-step.running")].filter((n) => n.dataset.tool === (d.tool || ""));
      const node = open[0] || step(box, d.tool, label(d), typeof d.preview === "string" ? d.preview : "");
      if (stopAsked && !d.is_error) { this.stop(node, "stopped"); return; }
      const summary = node.dataset.result || "";
      if (summary === "stopped") { this.stop(node, "stopped"); return; }
      const word = d.is_error ? "failed" : "done";
      settle(node, d.is_error ? "failed" : "done", `(${word}${summary ? ": " + summary : ""}, ${seconds(d.duration ?? 0)})`);
    },

    // "status" records about the running step: its live output and how it
    // ended. True when the record was one of those.
    status(box, d) {
      if (d.event === "tool.output") {
        const node = running(box);
        if (node && typeof d.message === "string") appendOutput(node, d.message);
        return true;
      }
      if (d.event === "tool.result") {
        const node = running(box);
        if (node) node.dataset.result = typeof d.message === "string" ? d.message : "";
        return true;
      }
      return false;
    },

    // A step cut by a stop (or by the end of the host); true when handled.
    stop(node, status) {
      if (!node.classList.contains("tool-step")) return false;
      settle(node, "stopped", `(${status})`);
      return true;
    },

    // From the stored history: an assistant message's calls ...
    historyCalls(box, calls) {
      for (const call of calls || []) {
        const fn = (call && call.function) || {};
        let args = null;
        try { args = JSON.parse(fn.arguments || "{}"); } catch (_) { args = null; }
        const target = args && typeof args === "object"
          ? String(args.command ?? args.path ?? args.pattern ?? "") : "";
        const node = step(box, fn.name, `⚡ ${fn.name || "tool"}`, target);
        node.dataset.call = call.id || "";
      }
    },

    // ... and each call's result.
    historyResult(box, m) {
      const id = m.tool_call_id || "";
      const node = [...box.querySelectorAll(".tool-step")].find((n) => n.dataset.call === id && n.classList.contains("running"))
        || step(box, m.tool_name, `⚡ ${m.tool_name || "tool"}`, (m.meta && m.meta.preview) || "");
      const meta = m.meta || {};
      if (meta.emoji) node.querySelector(".step-tool").textContent = `${meta.emoji} ${m.tool_name || "tool"}`;
      const target = node.querySelector(".step-target");
      if (target && typeof meta.preview === "string" && meta.preview) target.textContent = meta.preview;
      const content = typeof m.content === "string" ? m.content : "";
      if (content) appendOutput(node, content);
      const status = meta.status || "ok";
      const when = meta.duration != null ? `, ${seconds(meta.duration)}` : "";
      if (status === "stopped") settle(node, "stopped", `(stopped${meta.summary && meta.summary !== "stopped" ? ": " + meta.summary : ""})`);
      else settle(node, status === "ok" ? "done" : "failed",
        `(${status === "ok" ? "done" : "failed"}${meta.summary ? ": " + meta.summary : ""}${when})`);
    },
  };
})();
