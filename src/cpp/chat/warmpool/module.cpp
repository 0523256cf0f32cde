// The warm agent pool: module state, the modules it binds to, and init.
#include "chat/warmpool/warmpool.hpp"

#include <initializer_list>

namespace warmpool {

bridge::Namespace ns;
bridge::Logger log_(ns, "bridge.pool");

namespace {
const bridge::Name* op_names[OP_COUNT] = {};  // interned names, kept for the process's life
}  // namespace

void remember(Op op, const char* name) {
  if (!op_names[op]) op_names[op] = new bridge::Name(name);
  ns.remember(op, *op_names[op]);
}

Bound bound(Op op) {
  const bridge::Name& name = *op_names[op];
  if (ns.is_original(op, name)) return {nb::object(), true};
  return {ns.get(name), false};
}

nb::object state(const bridge::Name& name) { return ns.get(name); }

nb::object now() {
  static bridge::Name time_mod("time"), time_fn("time");
  PyObject* mod = ns.peek(time_mod);
  if (!mod) return ns.get(time_mod);  // NameError
  nb::object fn = steal_or_throw(PyObject_GetAttr(mod, time_fn.ptr()));
  return steal_or_throw(PyObject_CallNoArgs(fn.ptr()));
}

namespace {

nb::object new_lock() { return ns.get("threading").attr("Lock")(); }

// `from <module> import <names...>` into the namespace.
void bind_from(const char* module, std::initializer_list<const char*> names) {
  nb::object mod = bridge::import(module);
  for (const char* name : names) ns.set(name, mod.attr(name));
}

}  // namespace

}  // namespace warmpool

NB_MODULE(warmpool, m) {
  using namespace warmpool;
  ns.bind(m);
  m.attr("os") = bridge::import("os");
  m.attr("sys") = bridge::import("sys");
  m.attr("time") = bridge::import("time");
  m.attr("threading") = bridge::import("threading");
  m.attr("logging") = bridge::import("logging");
  m.attr("logger") = log_.named();

  // Stream fan-out.
  m.attr("stream_subscribers") = nb::dict();
  m.attr("stream_sub_lock") = new_lock();
  m.attr("_stream_buffers") = nb::dict();
  m.attr("_stream_buffer_lock") = new_lock();
  // Profiles and their session stores.
  m.attr("_active_profile") = nb::str("default");
  m.attr("_profile_dbs") = nb::dict();
  m.attr("_profile_dbs_lock") = new_lock();
  // Variable -> its value before the active profile's .env changed it
  // (None: unset then); put back when the profile changes.
  m.attr("_profile_env_changes") = nb::dict();
  // Warm agents and per-session mutexes.
  m.attr("agent_cache") = nb::dict();
  m.attr("agent_cache_lock") = new_lock();
  m.attr("_session_locks") = nb::dict();
  m.attr("_session_locks_lock") = new_lock();
  // Model generation and switch notes.
  m.attr("_model_generation") = nb::int_(0);
  m.attr("_model_generation_lock") = new_lock();
  m.attr("_pending_model_notes") = nb::dict();
  m.attr("_pending_model_notes_lock") = new_lock();
  // Host task registry.
  m.attr("running_tasks") = nb::dict();
  m.attr("tasks_lock") = new_lock();

  define_stream(m);
  define_callbacks(m);
  define_profiles(m);
  define_models(m);
  define_cache(m);
  define_tasks(m);

  // The root profile's environment comes first, so that the engine sees it
  // when its modules load.
  bind_from("dotenv", {"load_dotenv"});
  ns.get("load_dotenv")(bridge::home_join(".korvel", ".env"), "override"_a = false);
  bind_from("run_agent", {"AIAgent"});
  bind_from("korvel_state", {"SessionDB"});
  bind_from("bridge.Chat.runconf", {"build_agent_kwargs"});
  bind_from("bridge.Chat.interrupt", {"register_running_agent", "unregister_running_agent"});
  bind_from("bridge.Chat.consentgate", {"wire_approval_for_session"});
}
