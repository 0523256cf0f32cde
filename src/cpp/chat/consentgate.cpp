// Approval wiring: turns the engine's approval requests into
// "approval_required" stream records and hands the user's answer back.
#include "core/bridge.hpp"
#include "core/closure.hpp"
#include "core/imports.hpp"

namespace {

bridge::Namespace ns;
bridge::Logger log_(ns, "bridge.approval");

constexpr const char* kApproval = "tools.approval";
constexpr Py_ssize_t kCommandLimit = 500;

// approval_data.get(key, default): a default applies only to an absent key.
nb::object read_key(nb::handle data, const char* key, const char* fallback) {
  return bridge::mapping_get_or(data, key, nb::str(fallback));
}

nb::object make_notify_callback(nb::handle session_id, nb::handle push_event_fn) {
  bridge::need_text(session_id, "_make_notify_callback", "session_id");
  nb::object sid = nb::borrow(session_id);
  nb::object push = nb::borrow(push_event_fn);
  bridge::ModuleState* owner = ns.state();
  auto notify = [sid, push, owner](nb::handle approval_data) {
    bridge::Namespace::Scope scope(ns, owner);
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

// "setup" and "teardown" of one wiring: closures sharing the wiring's state
// (the session id, the push function, the four engine functions and the
// one-slot token holder), in this order.
enum StepSlot : size_t { S_SESSION, S_PUSH, S_SET, S_REGISTER, S_UNREGISTER, S_RESET, S_TOKEN };
enum StepKind : int { STEP_SETUP, STEP_TEARDOWN };

bridge::ClosureType step_type("bridge.Chat.consentgate.approval_step");

void run_setup(bridge::Closure* self) {
  PyObject** s = self->slots;
  nb::object token = nb::steal(bridge::call_one(s[S_SET], s[S_SESSION]));
  if (!token.is_valid()) throw nb::python_error();
  if (PyList_SetItem(s[S_TOKEN], 0, token.release().ptr()) != 0) throw nb::python_error();
  static bridge::Name make("_make_notify_callback");
  nb::object notify = ns.call(make, nb::handle(s[S_SESSION]), nb::handle(s[S_PUSH]));
  PyObject* args[2] = {s[S_SESSION], notify.ptr()};
  nb::object r = nb::steal(PyObject_Vectorcall(s[S_REGISTER], args, 2, nullptr));
  if (!r.is_valid()) throw nb::python_error();
}

void run_teardown(bridge::Closure* self) {
  PyObject** s = self->slots;
  nb::object r = nb::steal(bridge::call_one(s[S_UNREGISTER], s[S_SESSION]));
  if (!r.is_valid()) throw nb::python_error();
  nb::object token = nb::borrow(PyList_GetItem(s[S_TOKEN], 0));
  if (!token.is_valid()) throw nb::python_error();
  if (!token.is_none()) {
    nb::object done = nb::steal(bridge::call_one(s[S_RESET], token.ptr()));
    if (!done.is_valid()) throw nb::python_error();
  }
}

PyObject* step_call(bridge::Closure* self, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) {
  static const bridge::Params setup_params("setup", {}, 0), teardown_params("teardown", {}, 0);
  bridge::Params::Args a;
  const bridge::Params& params = self->kind == STEP_TEARDOWN ? teardown_params : setup_params;
  if (!params.bind(args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
  return bridge::fastcall_result([self]() -> nb::object {
    if (self->kind == STEP_TEARDOWN)
      run_teardown(self);
    else
      run_setup(self);
    return nb::none();
  });
}

// `from tools.approval import <name>`, the module already imported.
nb::object approval_name(nb::handle module, const bridge::Name& name) {
  return bridge::imported_name(module, name.handle(), kApproval);
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
  bridge::list_fill(token_holder.ptr(), 0, Py_None);

  auto step = [&](const char* name, StepKind kind) {
    return step_type.make(ns, name, kind, step_call,
                          {session_id, push_event_fn, set_key, register_notify,
                           unregister_notify, reset_key, token_holder});
  };
  static bridge::Name k_setup("setup"), k_teardown("teardown");
  nb::dict ctx;
  if (PyDict_SetItem(ctx.ptr(), k_setup.ptr(), step("setup", STEP_SETUP).ptr()) != 0 ||
      PyDict_SetItem(ctx.ptr(), k_teardown.ptr(), step("teardown", STEP_TEARDOWN).ptr()) != 0)
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
  auto init = ns.bind(m);
  nb::object os = bridge::import("os");
  m.attr("os") = os;
  ns.import_modules(m, {"time", "logging"});
  m.attr("logger") = log_.named();

  // The engine's approval system blocks and notifies (instead of approving
  // by itself) when it runs under a gateway; a value already set is kept.
  os.attr("environ").attr("setdefault")("KORVEL_GATEWAY_SESSION", "1");

  step_type.type();

  ns.def(m, "wire_approval_for_session", &wire_approval_for_session, "session_id"_a.none(),
        "push_event_fn"_a.none(),
        nb::sig("def wire_approval_for_session(session_id: str, "
                "push_event_fn: collections.abc.Callable[[str, dict], object]) -> dict"),
        "Approval context {'setup', 'teardown'} routing the session's approval\n"
        "requests to `push_event_fn` as 'approval_required' records.");
  ns.def(m, "_make_notify_callback", &make_notify_callback, "session_id"_a.none(),
        "push_event_fn"_a.none(),
        nb::sig("def _make_notify_callback(session_id: str, "
                "push_event_fn: collections.abc.Callable[[str, dict], object]) -> "
                "collections.abc.Callable[[collections.abc.Mapping], None]"),
        "The notify callable the engine calls with each approval request.");
  ns.def(m, "resolve_approval", &resolve_approval, "session_id"_a.none(), "choice"_a.none(),
        nb::sig("def resolve_approval(session_id: str, choice: str) -> object"),
        "Hand the user's choice to the engine; its result, or False on failure.");
}
