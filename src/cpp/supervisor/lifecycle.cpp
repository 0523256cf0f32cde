// Shutdown lifecycle: the callback registry, the shutdown sequence, and the
// signal and exit hooks that start it.
#include <atomic>

#include "core/bridge.hpp"

namespace {

bridge::Namespace ns;
bridge::Logger log_(ns, "bridge.supervisor.lifecycle");

void register_shutdown_callback(nb::handle fn) {
  ns.get("_shutdown_callbacks").attr("append")(fn);
}

nb::object cause_of(nb::handle signum) {
  if (signum.is_none() || !bridge::truthy(signum)) return nb::str("manual");
  try {
    return ns.std("signal", "Signals")(signum).attr("name");
  } catch (nb::python_error& e) {
    if (!bridge::raised(e, PyExc_ValueError)) throw;
    return nb::str(signum);  // a number with no symbolic name
  }
}

// An exit asked for on a thread other than the main one, which only the main
// thread can carry out (SystemExit elsewhere ends just that thread). The
// request is the process's, not a module's, hence one flag for all.
enum ExitState : int { EXIT_NONE, EXIT_REQUESTED, EXIT_RAISED };
std::atomic<int> exit_state{EXIT_NONE};

// Runs on the main thread between two of its steps: raises SystemExit(0)
// there, unless the exit is already under way.
int raise_exit_in_main(void*) {
  int expected = EXIT_REQUESTED;
  if (!exit_state.compare_exchange_strong(expected, EXIT_RAISED)) return 0;
  PyObject* zero = PyLong_FromLong(0);
  if (!zero) return -1;
  PyErr_SetObject(PyExc_SystemExit, zero);
  Py_DECREF(zero);
  return -1;
}

bool on_main_thread() {
  nb::object threading = ns.module("threading");
  return threading.attr("current_thread")().is(threading.attr("main_thread")());
}

// Asks the main thread to raise SystemExit(0) at its next step and, when it
// waits in a blocking call with our handler installed, wakes it with SIGTERM,
// whose handler then exits. Called on a thread other than the main one.
void ask_main_thread_to_exit() {
  int expected = EXIT_NONE;
  if (!exit_state.compare_exchange_strong(expected, EXIT_REQUESTED)) return;
  if (Py_AddPendingCall(raise_exit_in_main, nullptr) != 0) {
    PyErr_SetString(PyExc_RuntimeError, "could not ask the main thread to exit");
    throw nb::python_error();
  }
  nb::object signal = ns.module("signal");
  nb::object sigterm = signal.attr("SIGTERM");
  if (nb::hasattr(signal, "pthread_kill") &&
      signal.attr("getsignal")(sigterm).is(ns.get("graceful_shutdown"))) {
    nb::object main_id = ns.module("threading").attr("main_thread")().attr("ident");
    signal.attr("pthread_kill")(main_id, sigterm);
  }
}

// Ends the process with status 0 through the interpreter's normal exit, so
// that the exit hooks run: sys.exit(0) on the main thread. From another
// thread the main thread is asked to exit first, then sys.exit(0) ends the
// calling thread's own code as it would anywhere. Returns only when the exit
// function of the moment returns (a replaced sys.exit).
void exit_cleanly() {
  if (on_main_thread())
    exit_state = EXIT_RAISED;
  else
    ask_main_thread_to_exit();
  ns.std("sys", "exit")(0);
}

void graceful_shutdown(nb::handle signum, nb::handle /*frame*/) {
  bridge::need_optional_integer(signum, "graceful_shutdown", "signum");
  static bridge::Name flag("_is_shutting_down");
  if (bridge::truthy(ns.get(flag))) {
    // The main thread woken for an exit that another thread asked for.
    if (exit_state == EXIT_REQUESTED && on_main_thread()) {
      exit_state = EXIT_RAISED;
      ns.std("sys", "exit")(0);
    }
    return;
  }
  ns.set(flag, nb::bool_(true));

  log_.info("🛑 Shutting down bridge (signal: %s)...", cause_of(signum));
  // Whatever sequence the namespace holds now (checked by Python's own
  // protocols, not assumed to be a list), indexed so that callbacks
  // registered while this runs are reached too.
  nb::object callbacks = ns.get("_shutdown_callbacks");
  for (size_t i = 0; i < nb::len(callbacks); ++i) {
    nb::object fn = callbacks[nb::int_(i)];
    try {
      fn();
    } catch (nb::python_error& e) {
      if (!bridge::is_ordinary(e)) throw;
      log_.debug("Shutdown callback error: %s", bridge::text_of(e.value()));
    }
  }
  ns.call("cleanup_pid");
  log_.info("👋 Bridge stopped cleanly");
  exit_cleanly();
}

void setup_signal_handlers() {
  nb::object signal = ns.module("signal");
  nb::object handler = ns.get("graceful_shutdown");
  signal.attr("signal")(signal.attr("SIGTERM"), handler);
  signal.attr("signal")(signal.attr("SIGINT"), handler);
  ns.std("atexit", "register")(ns.get("cleanup_pid"));
  log_.debug("Signal handlers installed (SIGTERM, SIGINT, atexit)");
}

}  // namespace

NB_MODULE(lifecycle, m) {
  auto init = ns.bind(m);
  ns.import_modules(m, {"atexit", "os", "threading", "signal", "sys"});
  m.attr("logger") = log_.named();
  m.attr("cleanup_pid") = bridge::stdlib("bridge.supervisor.pid", "cleanup_pid");
  m.attr("_shutdown_callbacks") = nb::list();
  m.attr("_is_shutting_down") = false;

  ns.def(m, "register_shutdown_callback", &register_shutdown_callback, "fn"_a,
        nb::sig("def register_shutdown_callback(fn: typing.Callable[[], object]) -> None"),
        "Run fn (no arguments) when the bridge shuts down.");
  ns.def(m, "graceful_shutdown", &graceful_shutdown, "signum"_a = nb::none(),
        "frame"_a = nb::none(),
        nb::sig("def graceful_shutdown(signum: int | None = None, frame: object = None) -> None"),
        "Run the shutdown callbacks, remove the PID file and exit with status 0.");
  ns.def(m, "setup_signal_handlers", &setup_signal_handlers,
        "Install graceful_shutdown for SIGTERM and SIGINT and the PID-file exit hook.");
}
