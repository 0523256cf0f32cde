// Warm agents: one engine agent per chat session, built on first use,
// switched in place when the configured model changes, and pointed at the
// turn's event stream on every request. Plus one mutex per session.
#include "chat/warmpool/warmpool.hpp"
#include "core/fastcall.hpp"

namespace warmpool {

namespace {

bridge::Name a_gen("_zalix_model_gen");
bridge::Name a_session_id("session_id");
bridge::Name a_flushed("_last_flushed_db_idx");

const char* const kDefaultModel = "google/gemini-2.5-flash:free";
const char* const kDefaultBaseUrl = "https://openrouter.ai/api/v1";
const char* const kPlatformNote =
    "**Platform notes:** You are running inside a desktop chat interface. You can display "
    "images and files inline by including MEDIA:<filepath> in your response. The interface "
    "renders these as visible images.";

// The names get_agent passes to the engine itself.
const char* const kOwnArguments[] = {"model",      "api_key",     "base_url",
                                     "provider",   "platform",    "session_id",
                                     "session_db", "quiet_mode",  "enabled_toolsets",
                                     "ephemeral_system_prompt"};

nb::object env(const char* name, const char* fallback) {
  return ns.get("os").attr("environ").attr("get")(name, fallback);
}

using bridge::truthy;

// getattr(obj, name, fallback): only a missing attribute gives the fallback.
nb::object attr_or(nb::handle obj, PyObject* name, PyObject* fallback) {
  nb::object v = bridge::attr_or_null(obj, name);
  return v.is_valid() ? v : nb::borrow(fallback);
}

nb::object configured_model() {
  nb::object model = ns.call("_get_config_model");
  return truthy(model) ? model : nb::object(nb::str(kDefaultModel));
}

nb::object snapshot_items(nb::handle mapping) {
  return steal_or_throw(PySequence_List(mapping.attr("items")().ptr()));
}

// Switches every cached agent to the configured model and leaves a note for
// every session still cached. Runs under agent_cache_lock.
void switch_pass(nb::handle cache, nb::handle requester, nb::handle current_gen) {
  nb::object new_model = configured_model();
  static bridge::Name a_model("model"), v_unknown("unknown");
  nb::object old_model = attr_or(requester, a_model.ptr(), v_unknown.ptr());
  nb::object items = snapshot_items(cache);
  for (nb::handle item : items) {
    nb::handle sid = nb::borrow<nb::tuple>(item)[0];
    nb::handle agent = nb::borrow<nb::tuple>(item)[1];
    try {
      agent.attr("switch_model")("new_model"_a = new_model,
                                 "new_provider"_a = env("ZALIX_PROVIDER", "openrouter"),
                                 "api_key"_a = env("OPENROUTER_API_KEY", ""),
                                 "base_url"_a = env("ZALIX_BASE_URL", kDefaultBaseUrl));
      if (PyObject_SetAttr(agent.ptr(), a_gen.ptr(), current_gen.ptr()) != 0)
        throw nb::python_error();
    } catch (nb::python_error& e) {
      if (!bridge::is_ordinary(e)) throw;
      // An agent that cannot take the new model is dropped and rebuilt on
      // its session's next request.
      cache.attr("pop")(sid, nb::none());
    }
  }
  nb::object note = switch_note(nb::str(old_model), nb::str(new_model));
  nb::object notes = state(n_notes);
  bridge::Hold hold(state(n_notes_lock));
  nb::object sids = steal_or_throw(PySequence_List(cache.ptr()));
  for (nb::handle sid : sids)
    if (PyObject_SetItem(notes.ptr(), sid.ptr(), note.ptr()) != 0) throw nb::python_error();
}

// The user's part of the ephemeral prompt from the profile's config.yaml;
// empty when there is none or it cannot be read.
nb::object configured_prompt(nb::handle profile_home) {
  try {
    nb::object doc = bridge::read_profile_config(ns, log_, profile_home);
    if (!doc.is_valid()) return nb::str("");
    nb::object agent_cfg = doc.attr("get")("agent", nb::dict());
    nb::object prompt = agent_cfg.attr("get")("system_prompt", "");
    if (!truthy(prompt)) return nb::str("");
    return prompt.attr("strip")();
  } catch (nb::python_error& e) {
    if (!bridge::is_ordinary(e)) throw;  // unexpected shapes: no prompt
    return nb::str("");
  }
}

nb::object combined_prompt(nb::handle profile_home) {
  nb::object user = configured_prompt(profile_home);
  nb::object from_env = env("KORVEL_EPHEMERAL_SYSTEM_PROMPT", "");
  if (truthy(from_env)) user = from_env;
  nb::str note(kPlatformNote);
  if (!truthy(user)) return note;
  nb::object joined = steal_or_throw(PyNumber_Add(
      steal_or_throw(PyNumber_Add(note.ptr(), nb::str("\n\n").ptr())).ptr(), user.ptr()));
  return joined.attr("strip")();
}

nb::object build_agent(nb::handle session_id, nb::handle db) {
  nb::object model = configured_model();
  nb::object profile_home = ns.call("get_profile_home", state(n_active));
  nb::object extra = ns.call("build_agent_kwargs", profile_home);
  if (!bridge::is_mapping(extra)) {
    PyErr_Format(PyExc_TypeError, "build_agent_kwargs() must return a mapping, not %U",
                 bridge::type_name(extra).ptr());
    throw nb::python_error();
  }
  for (const char* own : kOwnArguments) {
    int has = PyMapping_HasKeyString(extra.ptr(), own);
    if (has) {
      PyErr_Format(PyExc_TypeError,
                   "build_agent_kwargs() returned '%s', which the pool passes itself", own);
      throw nb::python_error();
    }
  }
  nb::object prompt = combined_prompt(profile_home);

  nb::dict kwargs;
  kwargs["model"] = model;
  kwargs["api_key"] = env("OPENROUTER_API_KEY", "");
  kwargs["base_url"] = env("ZALIX_BASE_URL", kDefaultBaseUrl);
  kwargs["provider"] = env("ZALIX_PROVIDER", "openrouter");
  kwargs["platform"] = "zalix";
  kwargs["session_id"] = session_id;
  kwargs["session_db"] = db;
  kwargs["quiet_mode"] = true;
  kwargs["enabled_toolsets"] = env("ZALIX_TOOLSETS", "korvel-cli").attr("split")(",");
  kwargs["ephemeral_system_prompt"] = truthy(prompt) ? prompt : nb::none();
  nb::object items = snapshot_items(extra);
  for (nb::handle item : items) {
    nb::handle key = nb::borrow<nb::tuple>(item)[0];
    if (!bridge::is_text(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      throw nb::python_error();
    }
    if (PyDict_SetItem(kwargs.ptr(), key.ptr(), nb::borrow<nb::tuple>(item)[1].ptr()) != 0)
      throw nb::python_error();
  }
  nb::object empty = steal_or_throw(PyTuple_New(0));
  static bridge::Name n_agent_class("AIAgent");
  return steal_or_throw(PyObject_Call(ns.get(n_agent_class).ptr(), empty.ptr(), kwargs.ptr()));
}

nb::object make_through(Op op, CallbackKind kind, nb::handle sid) {
  Bound factory = bound(op);
  if (factory.original) {
    nb::object registry = kind == CB_TOOL ? tool_registry() : nb::none();
    return make_callback(kind, sid.ptr(), registry.ptr());
  }
  return factory.fn(sid);
}

void attach_callbacks(nb::handle agent, nb::handle sid) {
  static bridge::Name a_delta("stream_delta_callback"), a_tool("tool_progress_callback"),
      a_thinking("thinking_callback"), a_reasoning("reasoning_callback"),
      a_status("status_callback"), a_review("background_review_callback");
  auto set = [&](const bridge::Name& attr, const nb::object& value) {
    if (PyObject_SetAttr(agent.ptr(), attr.ptr(), value.ptr()) != 0) throw nb::python_error();
  };
  set(a_delta, make_callback(CB_DELTA, sid.ptr(), Py_None));
  set(a_tool, make_through(OP_MAKE_TOOL_PROGRESS, CB_TOOL, sid));
  set(a_thinking, make_through(OP_MAKE_THINKING, CB_THINKING, sid));
  set(a_reasoning, make_through(OP_MAKE_REASONING, CB_REASONING, sid));
  set(a_status, make_through(OP_MAKE_STATUS, CB_STATUS, sid));
  set(a_review, make_through(OP_MAKE_BACKGROUND_REVIEW, CB_REVIEW, sid));
}

nb::object call_bound(Op op, nb::object (*body)()) {
  Bound fn = bound(op);
  if (fn.original) return body();
  return fn.fn();
}

nb::object active_session_db() { return session_db(nb::none()); }

nb::object get_agent(nb::handle session_id, nb::handle streaming_session_id) {
  bridge::need_text(session_id, "get_agent", "session_id");
  bridge::need_optional_text(streaming_session_id, "get_agent", "streaming_session_id");

  nb::object db = call_bound(OP_GET_SESSION_DB, &active_session_db);
  nb::object current_gen = call_bound(OP_GET_MODEL_GENERATION, &model_generation);

  nb::object cache = state(n_cache);
  bridge::Hold hold(state(n_cache_lock));

  nb::object cached = mapping_get(cache, session_id);
  if (cached.is_valid()) {
    static PyObject* minus_one = PyLong_FromLong(-1);
    nb::object cached_gen = attr_or(cached, a_gen.ptr(), minus_one);
    int same = PyObject_RichCompareBool(cached_gen.ptr(), current_gen.ptr(), Py_NE);
    if (same < 0) throw nb::python_error();
    if (same == 1) {
      switch_pass(cache, cached, current_gen);
      cached = mapping_get(cache, session_id);
    }
  }
  if (!cached.is_valid()) {
    nb::object agent = build_agent(session_id, db);
    if (PyObject_SetAttr(agent.ptr(), a_gen.ptr(), current_gen.ptr()) != 0)
      throw nb::python_error();
    if (PyObject_SetItem(cache.ptr(), session_id.ptr(), agent.ptr()) != 0)
      throw nb::python_error();
  }

  nb::object agent = steal_or_throw(PyObject_GetItem(cache.ptr(), session_id.ptr()));
  static PyObject* zero = PyLong_FromLong(0);
  if (PyObject_SetAttr(agent.ptr(), a_session_id.ptr(), session_id.ptr()) != 0 ||
      PyObject_SetAttr(agent.ptr(), a_flushed.ptr(), zero) != 0)
    throw nb::python_error();

  if (!streaming_session_id.is_none() && bridge::text_length(streaming_session_id.ptr()) > 0)
    attach_callbacks(agent, streaming_session_id);

  static bridge::Name n_wire("wire_approval_for_session"), n_push("push_stream_event");
  nb::object approval_ctx = ns.get(n_wire)(session_id, ns.get(n_push));
  nb::object result = nb::make_tuple(agent, approval_ctx);
  return result;  // the hold releases agent_cache_lock here, as on every error
}

nb::object get_session_lock(nb::handle session_id) {
  bridge::need_text(session_id, "get_session_lock", "session_id");
  nb::object locks = state(n_session_locks);
  bridge::Hold hold(state(n_session_locks_lock));
  nb::object lock = mapping_get(locks, session_id);
  if (lock.is_valid()) return lock;
  lock = ns.get("threading").attr("Lock")();
  if (PyObject_SetItem(locks.ptr(), session_id.ptr(), lock.ptr()) != 0) throw nb::python_error();
  return lock;
}

}  // namespace

void define_cache(nb::module_& m) {
  // Called for every turn: a vectorcall function, not nanobind's dispatcher.
  bridge::FastDef<&get_agent>::add(
      ns, m, "get_agent", {"session_id", "streaming_session_id"}, 1,
      "get_agent($module, /, session_id, streaming_session_id=None)\n--\n\n"
      "The session's warm agent and a new approval context for this turn.");
  ns.def(m, "get_session_lock", &get_session_lock, "session_id"_a.none(),
        nb::sig("def get_session_lock(session_id: str) -> threading.Lock"),
        "The session's own mutex, made on first request.");
}

}  // namespace warmpool
