// Agent callbacks: the callables the engine calls on its turn thread, each
// turning what it reports into a stream record for one streaming session.
//
// A callable is a small object that keeps its session id (and, for tool
// progress, the registry found when it was made) and is called through
// vectorcall, so neither making a set for every turn nor calling one per
// token costs more than a Python closure would.
#include "chat/warmpool/warmpool.hpp"
#include "core/fastcall.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <iterator>

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

struct Callback {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  CallbackKind kind;
  PyObject* session_id;
  PyObject* registry;  // tool progress only; None otherwise
};

PyTypeObject* callback_type = nullptr;

// Parameters of each kind, in positional order.
struct Params {
  const char* name;       // for error texts
  const char* names[4];   // parameter names
  int count;              // number of named parameters
  int required;           // how many of them must be given
  bool extra_keywords;    // **kwargs accepted
};

const Params params_of[] = {
    /* CB_DELTA     */ {"stream_delta_callback", {"delta"}, 1, 1, false},
    /* CB_TOOL      */ {"tool_progress_callback",
                        {"event_type", "tool_name", "preview", "args"}, 4, 1, true},
    /* CB_THINKING  */ {"thinking_callback", {"text"}, 1, 1, false},
    /* CB_REASONING */ {"reasoning_callback", {"text"}, 1, 1, false},
    /* CB_STATUS    */ {"status_callback", {"event_type", "message"}, 2, 2, false},
    /* CB_REVIEW    */ {"background_review_callback", {"message"}, 1, 1, false},
};

// The interned parameter names, made when the module is set up.
PyObject* param_names[std::size(params_of)][4] = {};

void intern_param_names() {
  for (size_t kind = 0; kind < std::size(params_of); ++kind)
    for (int i = 0; i < params_of[kind].count; ++i) {
      param_names[kind][i] = PyUnicode_InternFromString(params_of[kind].names[i]);
      if (!param_names[kind][i]) throw nb::python_error();
    }
}

bool same_name(PyObject* a, PyObject* b) {
  if (a == b) return true;
  return PyUnicode_Check(a) && PyUnicode_Compare(a, b) == 0;
}

// `value == text`, for one of our texts. An exact str is compared by its
// characters; anything else by its own comparison.
bool equals_text(PyObject* value, const bridge::Name& text) {
  PyObject* t = text.ptr();
  if (value == t) return true;
  if (PyUnicode_CheckExact(value) && PyUnicode_IS_READY(value))
    return PyUnicode_GET_LENGTH(value) == PyUnicode_GET_LENGTH(t) &&
           PyUnicode_KIND(value) == PyUnicode_KIND(t) &&
           std::memcmp(PyUnicode_DATA(value), PyUnicode_DATA(t),
                       static_cast<size_t>(PyUnicode_GET_LENGTH(t)) * PyUnicode_KIND(t)) == 0;
  int r = PyObject_RichCompareBool(value, t, Py_EQ);
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// Binds a call's arguments the way a Python function would. `slots` gets
// borrowed references (null when not given); `duration` and `is_error`
// are picked out of the extra keywords of tool progress.
bool bind_args(CallbackKind kind, PyObject* const* args, size_t nargsf, PyObject* kwnames,
               PyObject** slots, PyObject** duration, PyObject** is_error) {
  const Params& p = params_of[kind];
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > p.count) {
    if (p.count == p.required)
      PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd were given",
                   p.name, p.count, p.count == 1 ? "" : "s", nargs);
    else
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %d to %d positional arguments but %zd were given", p.name,
                   p.required, p.count, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      PyObject* value = args[nargs + k];
      // Keyword names of a call site are interned, as ours are: identity
      // settles nearly every name, and the comparison of texts is left for
      // the rest.
      int found = -1;
      for (int i = 0; i < p.count && found < 0; ++i)
        if (key == param_names[kind][i]) found = i;
      bool extra = found < 0 && (key == k_duration.ptr() || key == k_is_error.ptr());
      for (int i = 0; i < p.count && found < 0 && !extra; ++i)
        if (same_name(key, param_names[kind][i])) found = i;
      if (found >= 0) {
        if (slots[found]) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", p.name,
                       key);
          return false;
        }
        slots[found] = value;
      } else if (p.extra_keywords) {
        if (same_name(key, k_duration.ptr()))
          *duration = value;
        else if (same_name(key, k_is_error.ptr()))
          *is_error = value;
      } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.name,
                     key);
        return false;
      }
    }
  }
  for (int i = 0; i < p.required; ++i)
    if (!slots[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument: '%s'", p.name,
                   p.names[i]);
      return false;
    }
  return true;
}

void set(PyObject* d, const bridge::Name& key, PyObject* value) {
  if (PyDict_SetItem(d, key.ptr(), value) != 0) throw nb::python_error();
}

// {"type": type, "data": data}
nb::object record(const bridge::Name& type, nb::handle data) {
  nb::object rec = steal_or_throw(PyDict_New());
  set(rec.ptr(), k_type, type.ptr());
  set(rec.ptr(), k_data, data.ptr());
  return rec;
}

nb::object new_dict() { return steal_or_throw(PyDict_New()); }

// A new dict with room for `n` keys, so that filling it never resizes it
// (a dict literal of that many keys is made the same way).
nb::object new_dict(Py_ssize_t n) { return steal_or_throw(_PyDict_NewPresized(n)); }

bool truthy(PyObject* v) {
  int t = PyObject_IsTrue(v);
  if (t < 0) throw nb::python_error();
  return t == 1;
}

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
  nb::object data = new_dict();
  set(data.ptr(), k_text, text);
  set(data.ptr(), k_ts, now().ptr());
  push_event(session_id, record(type, data).ptr());
}

void tool_progress(Callback* self, PyObject** a, PyObject* duration, PyObject* is_error) {
  PyObject* event_type = a[0];
  PyObject* tool_name = a[1] ? a[1] : Py_None;
  PyObject* preview = a[2] ? a[2] : Py_None;
  PyObject* tool_args = a[3] ? a[3] : Py_None;
  nb::object emoji = nb::borrow(v_bolt.ptr());
  nb::object toolset = nb::borrow(v_unknown.ptr());
  if (truthy(self->registry) && truthy(tool_name)) {
    static bridge::Name n_get_emoji("get_emoji"), n_get_toolset("get_toolset_for_tool"),
        n_default("default");
    static PyObject* kw_default = [] {
      PyObject* t = PyTuple_Pack(1, n_default.ptr());
      if (!t) throw nb::python_error();
      return t;
    }();
    PyObject* ea[3] = {self->registry, tool_name, v_bolt.ptr()};
    emoji = steal_or_throw(PyObject_VectorcallMethod(n_get_emoji.ptr(), ea, 2, kw_default));
    PyObject* ta[2] = {self->registry, tool_name};
    nb::object ts = steal_or_throw(PyObject_VectorcallMethod(n_get_toolset.ptr(), ta, 2, nullptr));
    if (truthy(ts.ptr())) toolset = ts;
  }
  auto is = [event_type](const bridge::Name& n) { return equals_text(event_type, n); };
  if (is(e_started)) {
    nb::object data = new_dict(6);
    set(data.ptr(), k_tool, tool_name);
    set(data.ptr(), k_emoji, emoji.ptr());
    set(data.ptr(), k_toolset, toolset.ptr());
    set(data.ptr(), k_preview, preview);
    set(data.ptr(), k_args, tool_args);
    set(data.ptr(), k_ts, now().ptr());
    push_event(self->session_id, record(t_tool_started, data).ptr());
  } else if (is(e_completed)) {
    static PyObject* zero = PyLong_FromLong(0);
    nb::object data = new_dict(7);
    set(data.ptr(), k_tool, tool_name);
    set(data.ptr(), k_emoji, emoji.ptr());
    set(data.ptr(), k_toolset, toolset.ptr());
    set(data.ptr(), k_preview, preview);
    set(data.ptr(), k_duration, round3(duration ? duration : zero).ptr());
    set(data.ptr(), k_is_error, is_error ? is_error : Py_False);
    set(data.ptr(), k_ts, now().ptr());
    push_event(self->session_id, record(t_tool_completed, data).ptr());
  } else if (is(e_reasoning)) {
    push_text(self->session_id, t_reasoning, truthy(preview) ? preview : v_empty.ptr());
  }
}

void status(Callback* self, PyObject* event_type, PyObject* message) {
  nb::object data = new_dict();
  set(data.ptr(), k_event, event_type);
  set(data.ptr(), k_message, message);
  set(data.ptr(), k_ts, now().ptr());
  push_event(self->session_id, record(t_status, data).ptr());
}

PyObject* callback_call(PyObject* callable, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
  auto* self = reinterpret_cast<Callback*>(callable);
  PyObject* slots[4] = {};
  PyObject* duration = nullptr;
  PyObject* is_error = nullptr;
  if (!bind_args(self->kind, args, nargsf, kwnames, slots, &duration, &is_error))
    return nullptr;
  return bridge::fastcall_result([&]() -> nb::object {
    switch (self->kind) {
      case CB_DELTA:
        push_delta(self->session_id, slots[0]);
        break;
      case CB_TOOL:
        tool_progress(self, slots, duration, is_error);
        break;
      case CB_THINKING:
        if (truthy(slots[0])) push_text(self->session_id, t_thinking, slots[0]);
        break;
      case CB_REASONING:
        if (truthy(slots[0])) push_text(self->session_id, t_reasoning_delta, slots[0]);
        break;
      case CB_STATUS:
        status(self, slots[0], slots[1]);
        break;
      case CB_REVIEW:
        bridge::need_text(slots[0], "background_review_callback", "message");
        if (PyUnicode_GET_LENGTH(slots[0]) != 0) {
          nb::object data = new_dict();
          set(data.ptr(), k_event, v_background_review.ptr());
          set(data.ptr(), k_message, slots[0]);
          set(data.ptr(), k_ts, now().ptr());
          push_event(self->session_id, record(t_status, data).ptr());
        }
        break;
    }
    return nb::none();
  });
}

int callback_traverse(PyObject* o, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<Callback*>(o);
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(self->session_id);
  Py_VISIT(self->registry);
  return 0;
}

int callback_clear(PyObject* o) {
  auto* self = reinterpret_cast<Callback*>(o);
  Py_CLEAR(self->session_id);
  Py_CLEAR(self->registry);
  return 0;
}

void callback_dealloc(PyObject* o) {
  PyTypeObject* tp = Py_TYPE(o);
  PyObject_GC_UnTrack(o);
  callback_clear(o);
  PyObject_GC_Del(o);
  Py_DECREF(tp);
}

PyObject* callback_repr(PyObject* o) {
  auto* self = reinterpret_cast<Callback*>(o);
  return PyUnicode_FromFormat("<%s for %R>", params_of[self->kind].name, self->session_id);
}

PyMemberDef callback_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(Callback, vectorcall)),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot callback_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(callback_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(callback_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(callback_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(callback_repr)},
    {Py_tp_members, callback_members},
    {0, nullptr},
};

PyType_Spec callback_spec = {
    "bridge.Chat.warmpool.callback",
    sizeof(Callback),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    callback_slots,
};

nb::object need_session_and_make(CallbackKind kind, nb::handle session_id, const char* fn,
                                 bool with_registry) {
  bridge::need_text(session_id, fn, "session_id");
  nb::object registry = with_registry ? tool_registry() : nb::none();
  return make_callback(kind, session_id.ptr(), registry.ptr());
}

}  // namespace

nb::object make_callback(CallbackKind kind, PyObject* session_id, PyObject* registry) {
  auto* self = PyObject_GC_New(Callback, callback_type);
  if (!self) throw nb::python_error();
  // (PyObject_GC_New has taken the instance's reference to its heap type.)
  self->vectorcall = callback_call;
  self->kind = kind;
  Py_INCREF(session_id);
  self->session_id = session_id;
  Py_INCREF(registry);
  self->registry = registry;
  PyObject_GC_Track(self);
  return nb::steal(reinterpret_cast<PyObject*>(self));
}

nb::object tool_registry() {
  static bridge::Name module_name("tools.registry"), n_registry("registry");
  // sys.modules first, as an import statement would.
  PyObject* mod = PyImport_GetModule(module_name.ptr());
  if (!mod) {
    if (PyErr_Occurred()) throw nb::python_error();
    mod = PyImport_Import(module_name.ptr());
  } else if (mod == Py_None) {
    Py_DECREF(mod);
    mod = PyImport_Import(module_name.ptr());  // raises ModuleNotFoundError
  }
  if (!mod) {
    if (PyErr_ExceptionMatches(PyExc_ImportError)) {
      PyErr_Clear();
      return nb::none();
    }
    throw nb::python_error();
  }
  nb::object module = nb::steal(mod);
  PyObject* reg = PyObject_GetAttr(module.ptr(), n_registry.ptr());
  if (!reg) {
    // `from tools.registry import registry` reports a missing name as an
    // ImportError too.
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return nb::none();
    }
    throw nb::python_error();
  }
  return nb::steal(reg);
}

void define_callbacks(nb::module_& m) {
  intern_param_names();
  callback_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&callback_spec));
  if (!callback_type) throw nb::python_error();

  m.def(
      "_make_tool_progress_callback",
      [](nb::handle sid) {
        return need_session_and_make(CB_TOOL, sid, "_make_tool_progress_callback", true);
      },
      "session_id"_a.none(),
      nb::sig("def _make_tool_progress_callback(session_id: str) -> Callable[..., None]"),
      "A tool-progress callable pushing tool events to the session's stream.");
  m.def(
      "_make_thinking_callback",
      [](nb::handle sid) {
        return need_session_and_make(CB_THINKING, sid, "_make_thinking_callback", false);
      },
      "session_id"_a.none(),
      nb::sig("def _make_thinking_callback(session_id: str) -> Callable[[str], None]"),
      "A thinking callable pushing 'thinking' records.");
  m.def(
      "_make_reasoning_callback",
      [](nb::handle sid) {
        return need_session_and_make(CB_REASONING, sid, "_make_reasoning_callback", false);
      },
      "session_id"_a.none(),
      nb::sig("def _make_reasoning_callback(session_id: str) -> Callable[[str], None]"),
      "A reasoning callable pushing 'reasoning_delta' records.");
  m.def(
      "_make_status_callback",
      [](nb::handle sid) {
        return need_session_and_make(CB_STATUS, sid, "_make_status_callback", false);
      },
      "session_id"_a.none(),
      nb::sig("def _make_status_callback(session_id: str) -> Callable[[str, str], None]"),
      "A status callable pushing 'status' records.");
  m.def(
      "_make_background_review_callback",
      [](nb::handle sid) {
        return need_session_and_make(CB_REVIEW, sid, "_make_background_review_callback",
                                     false);
      },
      "session_id"_a.none(),
      nb::sig("def _make_background_review_callback(session_id: str) -> Callable[[str], None]"),
      "A background-review callable pushing 'status' records.");
  remember(OP_MAKE_TOOL_PROGRESS, "_make_tool_progress_callback");
  remember(OP_MAKE_THINKING, "_make_thinking_callback");
  remember(OP_MAKE_REASONING, "_make_reasoning_callback");
  remember(OP_MAKE_STATUS, "_make_status_callback");
  remember(OP_MAKE_BACKGROUND_REVIEW, "_make_background_review_callback");
}

}  // namespace warmpool
