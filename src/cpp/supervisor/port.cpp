// Port guard: finds whoever holds the listening port and stops it.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/bridge.hpp"

namespace {

bridge::Namespace ns;
bridge::Logger log_(ns, "bridge.supervisor.port");

bool on_windows() { return nb::str("win32").equal(ns.std("sys", "platform")); }

nb::object current_pid() { return ns.std("os", "getpid")(); }

nb::object port_text(nb::handle port) { return nb::str(":{}").attr("format")(port); }

// A command line as a list, the form subprocess callers (and stand-ins) expect.
template <typename... Args> nb::list command(Args&&... args) {
  nb::list argv;
  (argv.append(std::forward<Args>(args)), ...);
  return argv;
}

// int(text) or None when the text is not an integer.
nb::object parse_int(nb::handle text) {
  try {
    return nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type))(text);
  } catch (nb::python_error& e) {
    if (bridge::raised(e, PyExc_ValueError)) return nb::none();
    throw;
  }
}

// Socket inodes of TCP listeners on `port`, from /proc/net/tcp and tcp6
// (Linux); empty where those tables cannot be read.
std::set<unsigned long> listener_inodes(long port) {
  std::set<unsigned long> found;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
      if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >>
            timeout >> inode))
        continue;
      auto colon = local.rfind(':');
      if (state != "0A" || colon == std::string::npos) continue;  // 0A: LISTEN
      try {
        if (std::stol(local.substr(colon + 1), nullptr, 16) == port)
          found.insert(std::stoul(inode));
      } catch (const std::exception&) {
      }
    }
  }
  return found;
}

// Whether process `pid` holds one of `inodes` among its open files.
bool holds_socket(long pid, const std::set<unsigned long>& inodes) {
  std::error_code ec;
  std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", ec);
  if (ec) return false;
  // Stepped with error codes: the process may exit while its table is read,
  // and a throwing increment would surface as an error of find_port_owner.
  for (; fds != std::filesystem::directory_iterator(); fds.increment(ec)) {
    if (ec) return false;
    std::error_code link_ec;
    std::string target = std::filesystem::read_symlink(fds->path(), link_ec).string();
    if (link_ec || target.rfind("socket:[", 0) != 0) continue;
    try {
      if (inodes.count(std::stoul(target.substr(8)))) return true;
    } catch (const std::exception&) {
    }
  }
  return false;
}

// lsof -ti lists every process with a socket on the port, clients connected
// to it included, in ascending id order. Signalling a client (the desktop
// app's own window, a health probe) instead of the server would be wrong, so
// when the process tables show which listed process is the listener, that
// one is chosen; otherwise the first listed, as lsof gives it.
nb::object choose_owner(nb::handle lines, nb::handle port) {
  nb::object first = parse_int(nb::borrow<nb::list>(lines)[0]);
  if (first.is_none() || nb::len(lines) < 2) return first;
  std::vector<std::pair<nb::object, long>> listed;
  for (nb::handle line : lines) {
    nb::object pid = parse_int(line);
    if (pid.is_none()) continue;
    long value = PyLong_AsLong(pid.ptr());
    if (value == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      continue;
    }
    std::error_code ec;
    if (std::filesystem::exists("/proc/" + std::to_string(value) + "/fd", ec))
      listed.emplace_back(pid, value);
  }
  // Reading the kernel's socket tables costs a few milliseconds; it is done
  // only when there is more than one live candidate to tell apart.
  if (listed.size() < 2) return first;
  std::set<unsigned long> inodes = listener_inodes(bridge::as_long(port));
  if (inodes.empty()) return first;
  for (const auto& [pid, value] : listed)
    if (holds_socket(value, inodes)) return pid;
  return first;
}

bool is_port_in_use(nb::handle port, nb::handle host) {
  bridge::need_integer(port, "is_port_in_use", "port");
  bridge::need_text(host, "is_port_in_use", "host");
  nb::object socket = ns.module("socket");
  nb::object sock = socket.attr("socket")(socket.attr("AF_INET"), socket.attr("SOCK_STREAM"));
  // The socket is closed on every path, like a `with` block would.
  struct Closer {
    nb::object& s;
    ~Closer() {
      try {
        s.attr("close")();
      } catch (nb::python_error& e) {
        e.discard_as_unraisable(s);
      }
    }
  } closer{sock};
  sock.attr("settimeout")(1.0);
  nb::object code = sock.attr("connect_ex")(nb::make_tuple(host, port));
  return code.equal(nb::int_(0));
}

nb::object find_port_owner_windows(nb::handle port) {
  bridge::need_integer(port, "_find_port_owner_windows", "port");
  auto done = bridge::run_captured(command("netstat", "-ano"), 5.0, ns.module("subprocess"));
  if (!done) return nb::none();
  nb::object out = done->attr("stdout");
  if (out.is_none()) return nb::none();
  nb::object needle = port_text(port);
  nb::str listening("LISTENING");
  for (nb::handle line : out.attr("split")("\n")) {
    if (!bridge::truthy(line.attr("__contains__")(needle)) ||
        !bridge::truthy(line.attr("__contains__")(listening)))
      continue;
    nb::list fields = nb::borrow<nb::list>(line.attr("strip")().attr("split")());
    if (fields.size() == 0) continue;
    return parse_int(fields[fields.size() - 1]);
  }
  return nb::none();
}

nb::object find_port_owner(nb::handle port) {
  bridge::need_integer(port, "find_port_owner", "port");
  if (on_windows()) return ns.call("_find_port_owner_windows", port);

  auto lsof = bridge::run_captured(command("lsof", "-ti", port_text(port)), 5.0,
                                   ns.module("subprocess"));
  if (lsof && lsof->attr("returncode").equal(nb::int_(0))) {
    nb::object out = lsof->attr("stdout");
    if (!out.is_none()) {
      nb::object stripped = out.attr("strip")();
      if (nb::len(stripped) > 0) {
        nb::object owner = choose_owner(stripped.attr("split")("\n"), port);
        if (!owner.is_none()) return owner;
      }
    }
  }

  nb::object filter = nb::str("sport = {}").attr("format")(port_text(port));
  auto ss = bridge::run_captured(command("ss", "-tlnp", filter), 5.0, ns.module("subprocess"));
  if (ss && ss->attr("returncode").equal(nb::int_(0))) {
    nb::object out = ss->attr("stdout");
    if (!out.is_none()) {
      nb::object match = ns.std("re", "search")(R"(pid=(\d+))", out);
      if (!match.is_none()) return parse_int(match.attr("group")(1));
    }
  }
  return nb::none();
}

bool port_busy(nb::handle port) { return bridge::truthy(ns.call("is_port_in_use", port)); }

bool free_port(nb::handle port) {
  bridge::need_integer(port, "free_port", "port");
  if (!port_busy(port)) return true;
  nb::object owner = ns.call("find_port_owner", port);
  if (owner.is_none()) {
    log_.warning("Port %d is in use but can't find owner", port);
    return false;
  }
  if (owner.equal(current_pid())) {
    log_.debug("We own port %d ourselves", port);
    return true;
  }
  log_.info("🔓 Port %d held by PID %d, killing...", port, owner);
  nb::object signal = ns.module("signal");
  try {
    ns.std("os", "kill")(owner, signal.attr("SIGTERM"));
    for (int i = 0; i < 30; ++i) {
      if (!port_busy(port)) {
        log_.info("   ✅ Port %d freed", port);
        return true;
      }
      bridge::sleep_seconds(0.1, ns.module("time"));
    }
    if (!on_windows()) ns.std("os", "kill")(owner, signal.attr("SIGKILL"));
    bridge::sleep_seconds(0.5, ns.module("time"));
    return !port_busy(port);
  } catch (nb::python_error& e) {
    long err = bridge::errno_of(e);
    if (err != ESRCH && err != EPERM) throw;
    log_.warning("   ⚠️ Could not kill PID %d: %s", owner, bridge::text_of(e.value()));
    return false;
  }
}

bool ensure_port_free(nb::handle port) {
  bridge::need_integer(port, "ensure_port_free", "port");
  if (!port_busy(port)) return true;
  log_.info("🔍 Port %d is occupied, attempting cleanup...", port);
  if (bridge::truthy(ns.call("free_port", port))) return true;
  log_.info("   ⏳ Waiting 2s for port %d to become free...", port);
  bridge::sleep_seconds(2.0, ns.module("time"));
  if (!port_busy(port)) return true;
  log_.error("   ❌ Could not free port %d", port);
  return false;
}

}  // namespace

NB_MODULE(port, m) {
  auto init = ns.bind(m);
  ns.import_modules(m, {"os", "re", "signal", "socket", "subprocess", "sys", "time"});
  m.attr("logger") = log_.named();

  ns.def(m, "is_port_in_use", &is_port_in_use, "port"_a, "host"_a = "127.0.0.1",
        nb::sig("def is_port_in_use(port: int, host: str = '127.0.0.1') -> bool"),
        "Whether a TCP connection to host:port succeeds.");
  ns.def(m, "find_port_owner", &find_port_owner, "port"_a,
        nb::sig("def find_port_owner(port: int) -> int | None"),
        "The id of the process holding the port (lsof, then ss), or None.");
  ns.def(m, "_find_port_owner_windows", &find_port_owner_windows, "port"_a,
        nb::sig("def _find_port_owner_windows(port: int) -> int | None"),
        "The id of the process listening on the port according to netstat, or None.");
  ns.def(m, "free_port", &free_port, "port"_a, nb::sig("def free_port(port: int) -> bool"),
        "Stop the process holding the port; True when the port is free or ours.");
  ns.def(m, "ensure_port_free", &ensure_port_free, "port"_a,
        nb::sig("def ensure_port_free(port: int) -> bool"),
        "Make the port available, waiting once more if needed.");
}
