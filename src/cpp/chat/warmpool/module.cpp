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
  auto init = ns.bind(m);
  ns.import_modules(m, {"os", "sys", "time", "threading", "logging"});
  m.attr("logger") = log_.named();

  // The state (state.hpp says what each holds).
  for (const bridge::Name* n : {&n_subscribers, &n_buffers, &n_dbs, &n_env_changes, &n_cache,
                                &n_session_locks, &n_notes, &n_tasks})
    ns.set(*n, nb::dict());
  for (const bridge::Name* n : {&n_sub_lock, &n_buffer_lock, &n_dbs_lock, &n_cache_lock,
                                &n_session_locks_lock, &n_generation_lock, &n_notes_lock,
                                &n_tasks_lock})
    ns.set(*n, new_lock());
  ns.set(n_active, nb::str("default"));
  ns.set(n_generation, nb::int_(0));

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
