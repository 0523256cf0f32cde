// Approval wiring: turns the engine's approval requests into
// "approval_required" stream records and hands the user's answer back.
#include "core/bridge.hpp"
#include "core/imports.hpp"

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

nb::dict wire_approval_for_session(nb::handle session_id, nb::handle push_event_fn) {
  bridge::need_text(session_id, "wire_approval_for_session", "session_id");
  nb::object register_notify = bridge::import_from(kApproval, "register_gateway_notify");
  nb::object reset_key = bridge::import_from(kApproval, "reset_current_session_key");
  nb::object set_key = bridge::import_from(kApproval, "set_current_session_key");
  nb::object unregister_notify = bridge::import_from(kApproval, "unregister_gateway_notify");

  nb::object sid = nb::borrow(session_id);
  nb::object push = nb::borrow(push_event_fn);
  // One slot shared by this wiring's setup and teardown: the token the
  // engine gave when the session key was bound on the turn's thread.
  nb::list token_holder;
  token_holder.append(nb::none());

  auto setup = [sid, push, set_key, register_notify, token_holder]() {
    token_holder[0] = set_key(sid);
    static bridge::Name make("_make_notify_callback");
    nb::object notify = ns.call(make, sid, push);
    register_notify(sid, notify);
  };
  auto teardown = [sid, unregister_notify, reset_key, token_holder]() {
    unregister_notify(sid);
    nb::object token = token_holder[0];
    if (!token.is_none()) reset_key(token);
  };

  nb::dict ctx;
  ctx["setup"] = nb::cpp_function(std::move(setup), nb::name("setup"),
                                  nb::sig("def setup() -> None"));
  ctx["teardown"] = nb::cpp_function(std::move(teardown), nb::name("teardown"),
                                     nb::sig("def teardown() -> None"));
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
