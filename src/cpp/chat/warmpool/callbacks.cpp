// Agent callbacks: the callables the engine calls on its turn thread, each
// turning what it reports into a stream record for one streaming session.
//
// A callable is a small object that keeps its session id (and, for tool
// progress, the registry found when it was made) and is called through
// vectorcall, so neither making a set for every turn nor calling one per
// token costs more than a Python closure would.
#include "chat/warmpool/warmpool.hpp"
#include "core/closure.hpp"

namespace warmpool {

namespace {

bridge::Name k_type("type"), k_data("data"), k_ts("ts"), k_text("text"), k_tool("tool"),
    k_emoji("emoji"), k_toolset("toolset"), k_preview("preview"), k_args("args"),
    k_duration("duration"), k_is_error("is_error"), k_event("event"), k_message("message");
bridge::Name t_tool_started("tool_started"), t_tool_completed("tool_completed"),
    t_reasoning("reasoning"), t_thinking("thinking"), t_reasoning_delta("reasoning_delta"),
    t_status("status"), v_background_review("background_review"), v_unknown("unknown"),
    v_bolt("\xE2\x9A\xA1"), v_empty("");
bridge::Name e_started("tool.started"), e_completed("tool.completed"),
    e_reasoning("reasoning.available");

bridge::ClosureType callback_type("bridge.Chat.warmpool.callback");

enum CallbackSlot : size_t { C_SESSION, C_REGISTRY };  // registry: tool progress only

// Parameters of each kind, in positional order; tool progress also takes
// any other keyword (of which it reads `duration` and `is_error`).
const bridge::Params& params_of(int kind) {
  static const bridge::Params params[] = {
      /* CB_DELTA     */ {"stream_delta_callback", {"delta"}, 1},
      /* CB_TOOL      */ {"tool_progress_callback", {"event_type", "tool_name", "preview", "args"}, 1},
      /* CB_THINKING  */ {"thinking_callback", {"text"}, 1},
      /* CB_REASONING */ {"reasoning_callback", {"text"}, 1},
      /* CB_STATUS    */ {"status_callback", {"event_type", "message"}, 2},
      /* CB_REVIEW    */ {"background_review_callback", {"message"}, 1},
  };
  return params[kind];
}

// `value == text`, for one of our texts. An exact str is compared by its
// characters; anything else by its own comparison.
bool equals_text(PyObject* value, const bridge::Name& text) {
  PyObject* t = text.ptr();
  if (value == t) return true;
  if (PyUnicode_CheckExact(value)) return PyUnicode_Compare(value, t) == 0;
  int r = PyObject_RichCompareBool(value, t, Py_EQ);
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// Extra keywords of tool progress: `duration` and `is_error` are kept.
struct ToolExtras {
  PyObject* duration = nullptr;
  PyObject* is_error = nullptr;
};

bool take_extra(PyObject* key, PyObject* value, void* ctx) {
  auto* extras = static_cast<ToolExtras*>(ctx);
  if (key == k_duration.ptr() || PyUnicode_Compare(key, k_duration.ptr()) == 0)
    extras->duration = value;
  else if (key == k_is_error.ptr() || PyUnicode_Compare(key, k_is_error.ptr()) == 0)
    extras->is_error = value;
  return !PyErr_Occurred();
}

// {"type": type, "data": data}
nb::object record(const bridge::Name& type, nb::handle data) {
  static Shape<2> shape({&k_type, &k_data});
  return shape.make({type.ptr(), data.ptr()});
}

using bridge::truthy;

nb::object round3(PyObject* value) {
  static bridge::Name n_round("round");
  static PyObject* three = PyLong_FromLong(3);
  PyObject* fn = PyDict_GetItemWithError(PyEval_GetBuiltins(), n_round.ptr());
  if (!fn) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'round' is not defined");
    throw nb::python_error();
  }
  PyObject* a[2] = {value, three};
  return steal_or_throw(PyObject_Vectorcall(fn, a, 2, nullptr));
}

// A text record {"type": type, "data": {"text": text, "ts": now}}.
void push_text(PyObject* session_id, const bridge::Name& type, PyObject* text) {
  static Shape<2> shape({&k_text, &k_ts});
  nb::object data = shape.make({text, now().ptr()});
  push_event(session_id, record(type, data).ptr());
}

void tool_progress(bridge::Closure* self, const bridge::Params::Args& a, PyObject* duration,
                   PyObject* is_error) {
  PyObject* session_id = self->slots[C_SESSION];
  PyObject* registry = self->slots[C_REGISTRY];
  PyObject* event_type = a[0];
  PyObject* tool_name = a[1] ? a[1] : Py_None;
  PyObject* preview = a[2] ? a[2] : Py_None;
  PyObject* tool_args = a[3] ? a[3] : Py_None;
  nb::object emoji = nb::borrow(v_bolt.ptr());
  nb::object toolset = nb::borrow(v_unknown.ptr());
  if (truthy(registry) && truthy(tool_name)) {
    static bridge::Name n_get_emoji("get_emoji"), n_get_toolset("get_toolset_for_tool"),
        n_default("default");
    static PyObject* kw_default = [] {
      PyObject* t = PyTuple_Pack(1, n_default.ptr());
      if (!t) throw nb::python_error();
      return t;
    }();
    PyObject* ea[3] = {registry, tool_name, v_bolt.ptr()};
    emoji = steal_or_throw(PyObject_VectorcallMethod(n_get_emoji.ptr(), ea, 2, kw_default));
    PyObject* ta[2] = {registry, tool_name};
    nb::object ts = steal_or_throw(PyObject_VectorcallMethod(n_get_toolset.ptr(), ta, 2, nullptr));
    if (truthy(ts.ptr())) toolset = ts;
  }
  auto is = [event_type](const bridge::Name& n) { return equals_text(event_type, n); };
  if (is(e_started)) {
    static Shape<6> shape({&k_tool, &k_emoji, &k_toolset, &k_preview, &k_args, &k_ts});
    nb::object ts = now();
    nb::object data =
        shape.make({tool_name, emoji.ptr(), toolset.ptr(), preview, tool_args, ts.ptr()});
    push_event(session_id, record(t_tool_started, data).ptr());
  } else if (is(e_completed)) {
    static PyObject* zero = PyLong_FromLong(0);
    static Shape<7> shape(
        {&k_tool, &k_emoji, &k_toolset, &k_preview, &k_duration, &k_is_error, &k_ts});
    nb::object rounded = round3(duration ? duration : zero);
    nb::object ts = now();
    nb::object data = shape.make({tool_name, emoji.ptr(), toolset.ptr(), preview, rounded.ptr(),
                                  is_error ? is_error : Py_False, ts.ptr()});
    push_event(session_id, record(t_tool_completed, data).ptr());
  } else if (is(e_reasoning)) {
    push_text(session_id, t_reasoning, truthy(preview) ? preview : v_empty.ptr());
  }
}

void status(PyObject* session_id, PyObject* event_type, PyObject* message) {
  static Shape<3> shape({&k_event, &k_message, &k_ts});
  nb::object ts = now();
  push_event(session_id, record(t_status, shape.make({event_type, message, ts.ptr()})).ptr());
}

PyObject* callback_call(bridge::Closure* self, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
  bridge::Params::Args slots;
  ToolExtras extras;
  const bool tool = self->kind == CB_TOOL;
  if (!params_of(self->kind).bind(args, PyVectorcall_NARGS(nargsf), kwnames, slots,
                                  tool ? take_extra : nullptr, &extras))
    return nullptr;
  PyObject* session_id = self->slots[C_SESSION];
  return bridge::fastcall_result([&]() -> nb::object {
    switch (self->kind) {
      case CB_DELTA:
        push_delta(session_id, slots[0]);
        break;
      case CB_TOOL:
        tool_progress(self, slots, extras.duration, extras.is_error);
        break;
      case CB_THINKING:
        if (truthy(slots[0])) push_text(session_id, t_thinking, slots[0]);
        break;
      case CB_REASONING:
        if (truthy(slots[0])) push_text(session_id, t_reasoning_delta, slots[0]);
        break;
      case CB_STATUS:
        status(session_id, slots[0], slots[1]);
        break;
      case CB_REVIEW:
        bridge::need_text(slots[0], "background_review_callback", "message");
        if (bridge::text_length(slots[0]) != 0) {
          status(session_id, v_background_review.ptr(), slots[0]);
        }
        break;
    }
    return nb::none();
  });
}

nb::object need_session_and_make(CallbackKind kind, nb::handle session_id, const char* fn,
                                 bool with_registry) {
  bridge::need_text(session_id, fn, "session_id");
  nb::object registry = with_registry ? tool_registry() : nb::none();
  return make_callback(kind, session_id.ptr(), registry.ptr());
}

}  // namespace

nb::object make_callback(CallbackKind kind, PyObject* session_id, PyObject* registry) {
  return callback_type.make(ns, params_of(kind).name(), kind, callback_call,
                            {session_id, registry});
}

nb::object tool_registry() {
  // `from tools.registry import registry` (the module from sys.modules when
  // it is there); None when that raises ImportError.
  static bridge::Name n_registry("registry");
  try {
    nb::object registry = bridge::attr_or_null(bridge::import("tools.registry"), n_registry.ptr());
    return registry.is_valid() ? registry : nb::none();
  } catch (nb::python_error& e) {
    if (!bridge::raised(e, PyExc_ImportError)) throw;
    return nb::none();
  }
}

namespace {

// _make_<kind>_callback(session_id)
template <CallbackKind K> nb::object maker(nb::handle sid) {
  static const char* const names[] = {
      "_make_stream_delta_callback",  "_make_tool_progress_callback",
      "_make_thinking_callback",      "_make_reasoning_callback",
      "_make_status_callback",        "_make_background_review_callback"};
  return need_session_and_make(K, sid, names[K], K == CB_TOOL);
}

}  // namespace

void define_callbacks(nb::module_& m) {
  callback_type.type();
  ns.def(m, "_make_tool_progress_callback", &maker<CB_TOOL>, "session_id"_a.none(),
         nb::sig("def _make_tool_progress_callback(session_id: str) -> Callable[..., None]"),
         "A tool-progress callable pushing tool events to the session's stream.");
  ns.def(m, "_make_thinking_callback", &maker<CB_THINKING>, "session_id"_a.none(),
         nb::sig("def _make_thinking_callback(session_id: str) -> Callable[[str], None]"),
         "A thinking callable pushing 'thinking' records.");
  ns.def(m, "_make_reasoning_callback", &maker<CB_REASONING>, "session_id"_a.none(),
         nb::sig("def _make_reasoning_callback(session_id: str) -> Callable[[str], None]"),
         "A reasoning callable pushing 'reasoning_delta' records.");
  ns.def(m, "_make_status_callback", &maker<CB_STATUS>, "session_id"_a.none(),
         nb::sig("def _make_status_callback(session_id: str) -> Callable[[str, str], None]"),
         "A status callable pushing 'status' records.");
  ns.def(m, "_make_background_review_callback", &maker<CB_REVIEW>,
         "session_id"_a.none(),
         nb::sig("def _make_background_review_callback(session_id: str) -> "
                 "Callable[[str], None]"),
         "A background-review callable pushing 'status' records.");
  remember(OP_MAKE_TOOL_PROGRESS, "_make_tool_progress_callback");
  remember(OP_MAKE_THINKING, "_make_thinking_callback");
  remember(OP_MAKE_REASONING, "_make_reasoning_callback");
  remember(OP_MAKE_STATUS, "_make_status_callback");
  remember(OP_MAKE_BACKGROUND_REVIEW, "_make_background_review_callback");
}

}  // namespace warmpool
