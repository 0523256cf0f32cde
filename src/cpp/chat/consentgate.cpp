// Approval wiring: turns the engine's approval requests into
// "approval_required" stream records and hands the user's answer back.
#include "core/bridge.hpp"
#include "core/fastcall.hpp"
#include "core/imports.hpp"

#include <structmember.h>

#include <cstddef>

namespace {

bridge::Namespace ns;
bridge::Logger log_("bridge.approval");

constexpr const char* kApproval = "tools.approval";
constexpr Py_ssize_t kCommandLimit = 500;

// approval_data.get(key, default): a default applies only to an absent key.
nb::object read_key(nb::handle data, const char* key, const char* fallback) {
  return data.attr("get")(key, fallback);
}

nb::object make_notify_callback(nb::handle session_id, nb::handle push_event_fn) {
  bridge::need_text(session_id, "_make_notify_callback", "session_id");
  nb::object sid = nb::borrow(session_id);
  nb::object push = nb::borrow(push_event_fn);
  auto notify = [sid, push](nb::handle approval_data) {
    bridge::need_mapping(approval_data, "notify", "approval_data");
    nb::object command = read_key(approval_data, "command", "");
    nb::object description = read_key(approval_data, "description", "dangerous command");
    nb::object pattern_key = read_key(approval_data, "pattern_key", "");
    // command[:500]; a value that cannot be cut raises to the engine.
    nb::object head = command[nb::slice(nb::none(), nb::int_(kCommandLimit), nb::none())];
    nb::dict data;
    data["command"] = head;
    data["description"] = description;
    data["pattern_key"] = pattern_key;
    data["session_id"] = sid;
    data["ts"] = ns.std("time", "time")();
    nb::dict record;
    record["type"] = "approval_required";
    record["data"] = data;
    push(sid, record);
  };
  return nb::cpp_function(std::move(notify), nb::name("notify"), "approval_data"_a.none(),
                          nb::sig("def notify(approval_data: collections.abc.Mapping) -> None"));
}

// "setup" and "teardown" of one wiring: small callables sharing the
// wiring's state (the session id, the push function, the four engine
// functions and the one-slot token holder). A context is made for every
// turn, so they are plain objects called through vectorcall rather than
// bound functions built anew each time.
struct Step {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  bool teardown;
  PyObject* session_id;
  PyObject* push;
  PyObject* set_key;
  PyObject* register_notify;
  PyObject* unregister_notify;
  PyObject* reset_key;
  PyObject* token_holder;  // list of one slot, shared by the pair
};

PyTypeObject* step_type = nullptr;

const char* step_name(const Step* self) { return self->teardown ? "teardown" : "setup"; }

void run_setup(Step* self) {
  nb::object token = nb::steal(PyObject_CallOneArg(self->set_key, self->session_id));
  if (!token.is_valid()) throw nb::python_error();
  if (PyList_SetItem(self->token_holder, 0, token.release().ptr()) != 0)
    throw nb::python_error();
  static bridge::Name make("_make_notify_callback");
  nb::object notify = ns.call(make, nb::handle(self->session_id), nb::handle(self->push));
  PyObject* args[2] = {self->session_id, notify.ptr()};
  nb::object r = nb::steal(PyObject_Vectorcall(self->register_notify, args, 2, nullptr));
  if (!r.is_valid()) throw nb::python_error();
}

void run_teardown(Step* self) {
  nb::object r = nb::steal(PyObject_CallOneArg(self->unregister_notify, self->session_id));
  if (!r.is_valid()) throw nb::python_error();
  nb::object token = nb::borrow(PyList_GetItem(self->token_holder, 0));
  if (!token.is_valid()) throw nb::python_error();
  if (!token.is_none()) {
    nb::object done = nb::steal(PyObject_CallOneArg(self->reset_key, token.ptr()));
    if (!done.is_valid()) throw nb::python_error();
  }
}

PyObject* step_call(PyObject* o, PyObject* const*, size_t nargsf, PyObject* kwnames) {
  auto* self = reinterpret_cast<Step*>(o);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs != 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes 0 positional arguments but %zd were given",
                 step_name(self), nargs);
    return nullptr;
  }
  if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                 step_name(self), PyTuple_GET_ITEM(kwnames, 0));
    return nullptr;
  }
  return bridge::fastcall_result([self]() -> nb::object {
    if (self->teardown)
      run_teardown(self);
    else
      run_setup(self);
    return nb::none();
  });
}

int step_traverse(PyObject* o, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<Step*>(o);
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(self->session_id);
  Py_VISIT(self->push);
  Py_VISIT(self->set_key);
  Py_VISIT(self->register_notify);
  Py_VISIT(self->unregister_notify);
  Py_VISIT(self->reset_key);
  Py_VISIT(self->token_holder);
  return 0;
}

int step_clear(PyObject* o) {
  auto* self = reinterpret_cast<Step*>(o);
  Py_CLEAR(self->session_id);
  Py_CLEAR(self->push);
  Py_CLEAR(self->set_key);
  Py_CLEAR(self->register_notify);
  Py_CLEAR(self->unregister_notify);
  Py_CLEAR(self->reset_key);
  Py_CLEAR(self->token_holder);
  return 0;
}

void step_dealloc(PyObject* o) {
  PyTypeObject* tp = Py_TYPE(o);
  PyObject_GC_UnTrack(o);
  step_clear(o);
  PyObject_GC_Del(o);
  Py_DECREF(tp);
}

PyObject* step_repr(PyObject* o) {
  auto* self = reinterpret_cast<Step*>(o);
  return PyUnicode_FromFormat("<%s for %R>", step_name(self), self->session_id);
}

PyObject* step_get_name(PyObject* o, void*) {
  return PyUnicode_FromString(step_name(reinterpret_cast<Step*>(o)));
}

PyMemberDef step_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(Step, vectorcall)),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef step_getset[] = {
    {"__name__", step_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", step_get_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot step_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(step_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(step_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(step_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(step_repr)},
    {Py_tp_members, step_members},
    {Py_tp_getset, step_getset},
    {0, nullptr},
};

PyType_Spec step_spec = {
    "bridge.Chat.consentgate.approval_step",
    sizeof(Step),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    step_slots,
};

nb::object make_step(bool teardown, PyObject* const (&refs)[7]) {
  auto* self = PyObject_GC_New(Step, step_type);
  if (!self) throw nb::python_error();
  Py_INCREF(step_type);  // heap type instances own a reference to it
  self->vectorcall = step_call;
  self->teardown = teardown;
  PyObject** slots[7] = {&self->session_id,        &self->push,      &self->set_key,
                         &self->register_notify,   &self->unregister_notify,
                         &self->reset_key,         &self->token_holder};
  for (int i = 0; i < 7; ++i) {
    Py_INCREF(refs[i]);
    *slots[i] = refs[i];
  }
  PyObject_GC_Track(self);
  return nb::steal(reinterpret_cast<PyObject*>(self));
}

// `from tools.approval import <name>`: the module as the statement finds it,
// then the name, an ImportError when it is missing.
nb::object approval_name(nb::handle module, const bridge::Name& name) {
  PyObject* v = PyObject_GetAttr(module.ptr(), name.ptr());
  if (v) return nb::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s'", name.ptr(), kApproval);
  throw nb::python_error();
}

nb::dict wire_approval_for_session(nb::handle session_id, nb::handle push_event_fn) {
  bridge::need_text(session_id, "wire_approval_for_session", "session_id");
  static bridge::Name module_name(kApproval), n_register("register_gateway_notify"),
      n_reset("reset_current_session_key"), n_set("set_current_session_key"),
      n_unregister("unregister_gateway_notify");
  static PyObject* fromlist = [] {
    PyObject* t = PyTuple_Pack(1, n_register.ptr());
    if (!t) throw nb::python_error();
    return t;  // kept for the life of the process
  }();
  // One import, then the four names, as a single from-import statement does.
  nb::object module = nb::steal(
      PyImport_ImportModuleLevelObject(module_name.ptr(), nullptr, nullptr, fromlist, 0));
  if (!module.is_valid()) throw nb::python_error();
  nb::object register_notify = approval_name(module, n_register);
  nb::object reset_key = approval_name(module, n_reset);
  nb::object set_key = approval_name(module, n_set);
  nb::object unregister_notify = approval_name(module, n_unregister);

  // One slot shared by this wiring's setup and teardown: the token the
  // engine gave when the session key was bound on the turn's thread.
  nb::object token_holder = nb::steal(PyList_New(1));
  if (!token_holder.is_valid()) throw nb::python_error();
  Py_INCREF(Py_None);
  PyList_SET_ITEM(token_holder.ptr(), 0, Py_None);

  PyObject* const refs[7] = {session_id.ptr(),        push_event_fn.ptr(), set_key.ptr(),
                             register_notify.ptr(),   unregister_notify.ptr(),
                             reset_key.ptr(),         token_holder.ptr()};
  static bridge::Name k_setup("setup"), k_teardown("teardown");
  nb::dict ctx;
  if (PyDict_SetItem(ctx.ptr(), k_setup.ptr(), make_step(false, refs).ptr()) != 0 ||
      PyDict_SetItem(ctx.ptr(), k_teardown.ptr(), make_step(true, refs).ptr()) != 0)
    throw nb::python_error();
  return ctx;
}

nb::object resolve_approval(nb::handle session_id, nb::handle choice) {
  bridge::need_text(session_id, "resolve_approval", "session_id");
  bridge::need_text(choice, "resolve_approval", "choice");
  nb::object resolve = bridge::import_from(kApproval, "resolve_gateway_approval");
  try {
    nb::object resolved = resolve(session_id, choice);
    log_.info("Approval resolved for %s: %s (resolved=%s)", session_id, choice, resolved);
    return resolved;
  } catch (nb::python_error& e) {
    if (!bridge::is_ordinary(e)) throw;
    nb::object message = bridge::text_of(e.value());
    log_.error("Failed to resolve approval: %s", message);
    return nb::bool_(false);
  }
}

}  // namespace

NB_MODULE(consentgate, m) {
  ns.bind(m);
  nb::object os = bridge::import("os");
  m.attr("os") = os;
  m.attr("time") = bridge::import("time");
  m.attr("logging") = bridge::import("logging");
  m.attr("logger") = log_.logger();

  // The engine's approval system blocks and notifies (instead of approving
  // by itself) when it runs under a gateway; a value already set is kept.
  os.attr("environ").attr("setdefault")("KORVEL_GATEWAY_SESSION", "1");

  step_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&step_spec));
  if (!step_type) throw nb::python_error();

  m.def("wire_approval_for_session", &wire_approval_for_session, "session_id"_a.none(),
        "push_event_fn"_a.none(),
        nb::sig("def wire_approval_for_session(session_id: str, "
                "push_event_fn: collections.abc.Callable[[str, dict], object]) -> dict"),
        "Approval context {'setup', 'teardown'} routing the session's approval\n"
        "requests to `push_event_fn` as 'approval_required' records.");
  m.def("_make_notify_callback", &make_notify_callback, "session_id"_a.none(),
        "push_event_fn"_a.none(),
        nb::sig("def _make_notify_callback(session_id: str, "
                "push_event_fn: collections.abc.Callable[[str, dict], object]) -> "
                "collections.abc.Callable[[collections.abc.Mapping], None]"),
        "The notify callable the engine calls with each approval request.");
  m.def("resolve_approval", &resolve_approval, "session_id"_a.none(), "choice"_a.none(),
        nb::sig("def resolve_approval(session_id: str, choice: str) -> object"),
        "Hand the user's choice to the engine; its result, or False on failure.");
}
