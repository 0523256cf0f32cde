// PID file of the running bridge, and removal of a leftover bridge process.
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "core/bridge.hpp"

namespace {

bridge::Namespace ns;
bridge::Logger log_(ns, "bridge.supervisor.pid");

nb::object pid_file() {
  static bridge::Name n("PID_FILE");
  return ns.get(n);
}

nb::object current_pid() { return ns.std("os", "getpid")(); }

void write_pid() {
  nb::object file = pid_file();
  nb::object pid = current_pid();
  nb::object tmp = nb::none();
  try {
    file.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    // Written beside the target and renamed over it, so that a crash never
    // leaves a half-written file behind.
    tmp = file.attr("with_name")(nb::str(".{}.{}.tmp").attr("format")(file.attr("name"), pid));
    tmp.attr("write_text")(nb::str(pid));
    ns.std("os", "replace")(tmp, file);
    log_.debug("PID %d written to %s", pid, file);
  } catch (nb::python_error& e) {
    if (!bridge::raised(e, PyExc_OSError)) throw;
    if (!tmp.is_none()) {
      try {
        tmp.attr("unlink")("missing_ok"_a = true);
      } catch (nb::python_error&) {
      }
    }
    log_.warning("Could not write PID file: %s", bridge::text_of(e.value()));
  }
}

nb::object read_pid() {
  try {
    nb::object file = pid_file();
    if (!bridge::truthy(file.attr("exists")())) return nb::none();
    nb::object text = file.attr("read_text")().attr("strip")();
    nb::object value = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type))(text, 10);
    if (PyObject_RichCompareBool(value.ptr(), nb::int_(0).ptr(), Py_GT) == 1) return value;
    return nb::none();
  } catch (nb::python_error& e) {
    if (bridge::raised(e, PyExc_OSError) || bridge::raised(e, PyExc_ValueError))
      return nb::none();
    throw;
  }
}

void cleanup_pid() {
  try {
    nb::object file = pid_file();
    if (bridge::truthy(file.attr("exists")())) {
      file.attr("unlink")();
      log_.debug("PID file removed");
    }
  } catch (nb::python_error& e) {
    if (!bridge::raised(e, PyExc_OSError)) throw;
  }
}

bool is_pid_alive(nb::handle pid) {
  bridge::need_integer(pid, "is_pid_alive", "pid");
  try {
    ns.std("os", "kill")(pid, 0);
    return true;
  } catch (nb::python_error& e) {
    long err = bridge::errno_of(e);
    if (err == ESRCH) return false;
    if (err == EPERM) return true;
    throw;
  }
}

// Seconds since the epoch at which process `pid` started, from
// /proc/<pid>/stat and the boot time in /proc/stat; negative when unknown.
double process_start_time(long pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!stat || !std::getline(stat, line)) return -1;
  // The command name may hold spaces and parentheses: fields resume after
  // the last ')'. starttime is field 22, the 20th after the name.
  auto close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(line.substr(close + 1));
  std::string field;
  for (int i = 0; i < 20 && rest >> field; ++i) {
  }
  if (!rest) return -1;
  double ticks = 0;
  try {
    ticks = std::stod(field);
  } catch (const std::exception&) {
    return -1;
  }
  std::ifstream global("/proc/stat");
  double btime = -1;
  for (std::string key; global >> key;) {
    if (key == "btime") {
      global >> btime;
      break;
    }
    std::getline(global, key);
  }
  long hz = sysconf(_SC_CLK_TCK);
  if (btime < 0 || hz <= 0) return -1;
  return btime + ticks / static_cast<double>(hz);
}

// True when the live process `pid` began after the PID file naming it was
// last written: it cannot be the bridge that wrote it (the id was reused). A
// file that is missing, unreadable or names another id dates nothing.
bool started_after_file(nb::handle pid) {
  if (!bridge::is_integer(pid)) return false;
  long value = PyLong_AsLong(pid.ptr());
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  double started = process_start_time(value);
  if (started < 0) return false;
  double written = 0;
  try {
    nb::object file = pid_file();
    nb::object text = file.attr("read_text")().attr("strip")();
    nb::object named = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type))(text, 10);
    if (!named.equal(pid)) return false;
    written = nb::cast<double>(file.attr("stat")().attr("st_mtime"));
  } catch (nb::python_error& e) {
    if (!bridge::raised(e, PyExc_OSError) && !bridge::raised(e, PyExc_ValueError)) throw;
    return false;
  }
  return started > written + 1.0;
}

bool kill_stale_bridge() {
  nb::object old_pid = ns.call("read_pid");
  if (old_pid.is_none()) return false;
  if (old_pid.equal(current_pid())) return false;
  if (!bridge::truthy(ns.call("is_pid_alive", old_pid)) || started_after_file(old_pid)) {
    log_.debug("Stale PID file (process %d is dead), cleaning up", old_pid);
    ns.call("cleanup_pid");
    return false;
  }
  log_.info("🧟 Found zombie bridge (PID %d), killing...", old_pid);
  nb::object signal = ns.module("signal");
  try {
    nb::object kill = ns.std("os", "kill");
    kill(old_pid, signal.attr("SIGTERM"));
    for (int i = 0; i < 30; ++i) {
      if (!bridge::truthy(ns.call("is_pid_alive", old_pid))) {
        log_.info("   ✅ Zombie bridge (PID %d) terminated gracefully", old_pid);
        ns.call("cleanup_pid");
        return true;
      }
      bridge::sleep_seconds(0.1, ns.module("time"));
    }
    log_.warning("   ⚠️ Zombie bridge (PID %d) didn't respond to SIGTERM, sending SIGKILL",
                 old_pid);
    if (!nb::str("win32").equal(ns.std("sys", "platform")))
      ns.std("os", "kill")(old_pid, signal.attr("SIGKILL"));
    bridge::sleep_seconds(0.5, ns.module("time"));
    ns.call("cleanup_pid");
    return true;
  } catch (nb::python_error& e) {
    long err = bridge::errno_of(e);
    if (err == ESRCH) {
      ns.call("cleanup_pid");
      return true;
    }
    if (err == EPERM) {
      log_.error("   ❌ Cannot kill zombie bridge (PID %d) — permission denied", old_pid);
      return false;
    }
    throw;
  }
}

}  // namespace

NB_MODULE(pid, m) {
  auto init = ns.bind(m);
  ns.import_modules(m, {"os", "signal", "sys", "time"});
  m.attr("logger") = log_.named();
  m.attr("PID_FILE") = bridge::home_join(".korvel", ".bridge.pid");

  ns.def(m, "write_pid", &write_pid, "Write this process's id to PID_FILE.");
  ns.def(m, "read_pid", &read_pid, "The id stored in PID_FILE, or None.");
  ns.def(m, "cleanup_pid", &cleanup_pid, "Remove PID_FILE if it exists.");
  ns.def(m, "is_pid_alive", &is_pid_alive, "pid"_a,
        nb::sig("def is_pid_alive(pid: int) -> bool"),
        "Whether a process with that id exists.");
  ns.def(m, "kill_stale_bridge", &kill_stale_bridge,
        "Stop a leftover bridge named by PID_FILE; True when one was stopped.");
}
