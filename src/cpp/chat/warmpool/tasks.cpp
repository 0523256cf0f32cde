// The host's task registry and its cleanup, stored conversations for
// display, and automatic titles for new sessions.
#include "chat/warmpool/warmpool.hpp"
#include "core/fastcall.hpp"
#include "core/imports.hpp"

namespace warmpool {

namespace {

bridge::Name n_get_session_db("get_session_db");
bridge::Name n_push_event("push_stream_event");

// A finished task stays listed this long after it finished.
constexpr double kFinishedTaskLifetime = 300.0;

using bridge::truthy;

// print(prefix + str(value)), the value's control characters escaped.
void print_concat(const char* prefix, nb::handle value) {
  nb::object line = steal_or_throw(
      PyUnicode_Concat(nb::str(prefix).ptr(), bridge::escape_controls(value).ptr()));
  bridge::print_line(line);
}

void cleanup_old_tasks() {
  nb::object cutoff =
      steal_or_throw(PyNumber_Subtract(now().ptr(), nb::float_(kFinishedTaskLifetime).ptr()));
  nb::object tasks = state(n_tasks);
  bridge::Hold hold(state(n_tasks_lock));
  nb::list stale;
  nb::object ids = steal_or_throw(PySequence_List(tasks.ptr()));
  nb::str running("running");
  for (nb::handle id : ids) {
    nb::object rec = tasks[id];
    nb::object status = rec["status"];
    if (status.equal(running)) continue;
    nb::object finished = rec.attr("get")("finished_at", 0);
    int older = PyObject_RichCompareBool(finished.ptr(), cutoff.ptr(), Py_LT);
    if (older < 0) throw nb::python_error();
    if (older) stale.append(id);
  }
  for (nb::handle id : stale)
    if (PyObject_DelItem(tasks.ptr(), id.ptr()) != 0) throw nb::python_error();
}

nb::object get_conversation_history(nb::handle session_id) {
  bridge::need_text(session_id, "get_conversation_history", "session_id");
  try {
    nb::object db = ns.get(n_get_session_db)();
    nb::object messages = db.attr("get_messages_as_conversation")(session_id);
    if (!messages.is_none() && !PyList_Check(messages.ptr())) {
      PyErr_Format(PyExc_TypeError, "the session store gave %U, not a list",
                   bridge::type_name(messages).ptr());
      throw nb::python_error();
    }
    return messages;
  } catch (nb::python_error& e) {
    if (!bridge::is_ordinary(e)) throw;
    nb::object error = nb::borrow(e.value());
    print_concat("[POOL] Failed to load history: ", error);
    return nb::list();
  }
}

// Counts the entries whose "role" is "user".
long user_turns(nb::handle history) {
  static bridge::Name k_role("role");
  nb::str user("user");
  long count = 0;
  for (nb::handle entry : history) {
    nb::object role = mapping_get(entry, k_role.handle());
    if (role.is_valid() && role.equal(user)) ++count;
  }
  return count;
}

void title_worker(nb::handle session_id, nb::handle message, nb::handle response,
                  nb::handle history) {
  try {
    nb::object db = ns.get(n_get_session_db)();
    if (user_turns(history) > 2) return;
    if (truthy(db.attr("get_session_title")(session_id))) return;
    // As `from agent.title_generator import generate_title`: a module already
    // in sys.modules is used as it is, without importing its package.
    nb::object generate = bridge::import_from("agent.title_generator", "generate_title");
    nb::object title = generate(message, response);
    if (!truthy(title)) return;
    db.attr("set_session_title")(session_id, title);
    print_concat("[POOL] Auto-title: ", title);
    nb::dict data;
    data["title"] = title;
    data["session_id"] = session_id;
    nb::dict event;
    event["type"] = "title_updated";
    event["data"] = data;
    ns.get(n_push_event)(session_id, event);
  } catch (nb::python_error& e) {
    nb::object error = nb::borrow(e.value());
    try {
      print_concat("[POOL] Auto-title failed: ", error);
    } catch (nb::python_error&) {
      // Nothing is left to tell; the worker ends quietly.
    }
  } catch (const std::exception& e) {
    try {
      print_concat("[POOL] Auto-title failed: ", nb::str(e.what()));
    } catch (nb::python_error&) {
    }
  }
}

PyObject* title_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  bridge::Namespace::Scope scope(ns, ns.state_of(self));
  return bridge::fastcall_result([&]() -> nb::object {
    if (nargs != 4) {
      PyErr_SetString(PyExc_TypeError, "_auto_title_worker() takes 4 arguments");
      throw nb::python_error();
    }
    title_worker(args[0], args[1], args[2], args[3]);
    return nb::none();
  });
}

void trigger_auto_title(nb::handle session_id, nb::handle message, nb::handle response,
                        nb::handle history) {
  bridge::need_text(session_id, "trigger_auto_title", "session_id");
  bridge::need_text(message, "trigger_auto_title", "message");
  bridge::need_text(response, "trigger_auto_title", "response");
  bridge::need_list(history, "trigger_auto_title", "history");
  // A plain C function, not a nanobind one: the interpreter may end this
  // daemon thread at exit while it waits for the GIL, and that unwinding must
  // pass through the thread's entry point (nanobind's dispatcher stops it).
  // Its self is this module object, whose namespace the worker uses.
  static PyMethodDef def = {"_auto_title_worker", bridge::as_cfunction<title_entry>(),
                            METH_FASTCALL, nullptr};
  nb::object worker = steal_or_throw(PyCFunction_NewEx(&def, ns.state()->module, nullptr));
  nb::object thread = ns.get("threading").attr("Thread")(
      "target"_a = worker,
      "args"_a = nb::make_tuple(session_id, message, response, history),
      "name"_a = "auto-title", "daemon"_a = true);
  thread.attr("start")();
}

}  // namespace

void define_tasks(nb::module_& m) {
  ns.def(m, "cleanup_old_tasks", &cleanup_old_tasks, nb::sig("def cleanup_old_tasks() -> None"),
        "Drop finished task records older than five minutes.");
  ns.def(m, "get_conversation_history", &get_conversation_history, "session_id"_a.none(),
        nb::sig("def get_conversation_history(session_id: str) -> list"),
        "The session's stored conversation from the active profile, or [].");
  ns.def(m, "trigger_auto_title", &trigger_auto_title, "session_id"_a.none(), "message"_a.none(),
        "response"_a.none(), "history"_a.none(),
        nb::sig("def trigger_auto_title(session_id: str, message: str, response: str, "
                "history: list) -> None"),
        "Title a new session on a daemon thread named 'auto-title'.");
}

}  // namespace warmpool
