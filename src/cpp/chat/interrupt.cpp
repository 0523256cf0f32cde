// Registry of the agents that are running a turn, keyed by chat session id,
// and the stop request that reaches a running agent.
#include "core/bridge.hpp"
#include "core/fastcall.hpp"

namespace {

bridge::Namespace ns;
bridge::Logger log_(ns, "bridge.interrupt");

nb::object agents() {
  static bridge::Name n("_running_agents");
  return ns.get(n);
}

nb::object agents_lock() {
  static bridge::Name n("_running_agents_lock");
  return ns.get(n);
}

void register_running_agent(nb::handle session_id, nb::handle agent) {
  bridge::need_text(session_id, "register_running_agent", "session_id");
  nb::object registry = agents();
  nb::object replaced;
  {
    bridge::Hold hold(agents_lock());
    replaced = bridge::mapping_get(registry, session_id);
    if (PyObject_SetItem(registry.ptr(), session_id.ptr(), agent.ptr()) != 0)
      throw nb::python_error();
  }
  // A replaced agent is let go after the lock is released (see below).
}

void unregister_running_agent(nb::handle session_id) {
  bridge::need_text(session_id, "unregister_running_agent", "session_id");
  nb::object registry = agents();
  nb::object gone;
  {
    bridge::Hold hold(agents_lock());
    gone = bridge::mapping_pop(registry, session_id);
  }
  // `gone` is dropped here, after the lock is released: the last reference
  // to an agent may run its finalizer, which must not run under our lock.
}

bool is_agent_running(nb::handle session_id) {
  bridge::need_text(session_id, "is_agent_running", "session_id");
  nb::object registry = agents();
  bridge::Hold hold(agents_lock());
  int found = PySequence_Contains(registry.ptr(), session_id.ptr());
  if (found < 0) throw nb::python_error();
  return found == 1;
}

// Python's hasattr(): only an AttributeError means "absent"; any other error
// raised while looking the attribute up reaches the caller.
bool has_attribute(nb::handle obj, const char* name) {
  return bridge::attr_or_null(obj, nb::str(name).ptr()).is_valid();
}

bool interrupt_agent(nb::handle session_id, nb::handle reason) {
  bridge::need_text(session_id, "interrupt_agent", "session_id");
  bridge::need_text(reason, "interrupt_agent", "reason");
  nb::object registry = agents();
  nb::object agent;
  {
    bridge::Hold hold(agents_lock());
    agent = bridge::mapping_get_or(registry, session_id, nb::none());
  }
  if (agent.is_none()) {
    log_.debug("No running agent for session %s", session_id);
    return false;
  }
  // The engine's interrupt runs with no lock of ours held: a slow stop must
  // not delay other sessions registering or unregistering.
  try {
    if (has_attribute(agent, "interrupt")) {
      agent.attr("interrupt")(reason);
      log_.info("Interrupted agent for session %s: %s", session_id, reason);
      return true;
    }
    log_.warning("Agent for %s has no interrupt() method", session_id);
    return false;
  } catch (nb::python_error& e) {
    if (!bridge::is_ordinary(e)) throw;
    nb::object message = bridge::text_of(e.value());
    log_.error("Failed to interrupt agent %s: %s", session_id, message);
    return false;
  }
}

}  // namespace

NB_MODULE(interrupt, m) {
  auto init = ns.bind(m);
  ns.import_modules(m, {"logging", "threading"});
  m.attr("logger") = log_.named();
  m.attr("_running_agents") = nb::dict();
  m.attr("_running_agents_lock") = bridge::stdlib("threading", "Lock")();

  // Called around every turn: vectorcall functions, not nanobind's dispatcher.
  bridge::FastDef<&register_running_agent>::add(
      ns, m, "register_running_agent", {"session_id", "agent"}, 2,
      "register_running_agent($module, /, session_id, agent)\n--\n\n"
      "Record `agent` as the one running a turn for `session_id`.");
  bridge::FastDef<&unregister_running_agent>::add(
      ns, m, "unregister_running_agent", {"session_id"}, 1,
      "unregister_running_agent($module, /, session_id)\n--\n\n"
      "Forget the running agent of `session_id`, if any.");
  bridge::FastDef<&is_agent_running>::add(
      ns, m, "is_agent_running", {"session_id"}, 1,
      "is_agent_running($module, /, session_id)\n--\n\n"
      "Whether a turn is registered as running for `session_id`.");
  ns.def(m, "interrupt_agent", &interrupt_agent, "session_id"_a.none(),
        "reason"_a.none() = "User cancelled",
        nb::sig("def interrupt_agent(session_id: str, reason: str = 'User cancelled') -> bool"),
        "Ask the running agent of `session_id` to stop; True when it was asked.");
}
