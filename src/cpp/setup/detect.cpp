// Looks at the machine: is the engine installed, which version is it, and is
// an OpenRouter API key configured. Changes nothing and keeps no state.
#include "core/bridge.hpp"

namespace {

bridge::Namespace ns;

constexpr const char* kProgram = "korvel";
constexpr const char* kKeyName = "OPENROUTER_API_KEY";
constexpr const char* kKeyPrefix = "OPENROUTER_API_KEY=";
// A key line counts when its value after "=" has at least this many characters.
constexpr Py_ssize_t kMinKeyValue = 6;

bool exists(nb::handle p) { return nb::cast<bool>(p.attr("exists")()); }

template <typename... Parts> nb::object join(nb::object p, Parts... parts) {
  ((p = p.attr("__truediv__")(nb::str(parts))), ...);
  return p;
}

bool is_installed() {
  if (!ns.std("shutil", "which")(kProgram).is_none()) return true;
  // The installer's link; ~/.local/bin is often missing from a service's PATH.
  if (exists(bridge::home_join(".local", "bin", kProgram))) return true;
  return exists(join(ns.get("AGENT_DIR"), "venv", "bin", kProgram));
}

nb::object get_version() {
  try {
    nb::list argv;
    argv.append(nb::str(kProgram));
    argv.append(nb::str("version"));
    nb::object done = ns.std("subprocess", "run")(
        argv, "capture_output"_a = true, "text"_a = true, "timeout"_a = 5);
    nb::object code = done.attr("returncode");
    if (!code.equal(nb::int_(0))) return nb::str("unknown");
    return done.attr("stdout").attr("strip")();
  } catch (nb::python_error& e) {
    if (!bridge::is_ordinary(e)) throw;
    return nb::str("unknown");
  }
}

bool has_api_key() {
  nb::object value = ns.std("os", "environ").attr("get")(kKeyName);
  if (!value.is_none() && bridge::truthy(value)) return true;

  nb::object env_file = join(ns.get("KORVEL_HOME"), ".env");
  if (!exists(env_file)) return false;
  nb::object text = env_file.attr("read_text")();
  // Lines end at "\n", "\r" or "\r\n" only (str.splitlines knows more breaks).
  text = text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
  nb::str prefix(kKeyPrefix);
  Py_ssize_t wanted = PyUnicode_GetLength(prefix.ptr()) + kMinKeyValue;
  for (nb::handle line : text.attr("split")("\n")) {
    nb::object stripped = line.attr("strip")();
    if (!nb::cast<bool>(stripped.attr("startswith")(prefix))) continue;
    if (PyUnicode_GetLength(stripped.ptr()) >= wanted) return true;
  }
  return false;
}

}  // namespace

NB_MODULE(detect, m) {
  ns.bind(m);
  m.attr("os") = bridge::import("os");
  m.attr("shutil") = bridge::import("shutil");
  m.attr("subprocess") = bridge::import("subprocess");
  m.attr("pathlib") = bridge::import("pathlib");
  nb::object korvel_home = bridge::home_join(".korvel");
  m.attr("KORVEL_HOME") = korvel_home;
  m.attr("AGENT_DIR") = join(korvel_home, "korvel-agent");

  ns.def(m, "is_installed", &is_installed, nb::sig("def is_installed() -> bool"),
        "Whether the engine's program is on PATH, at ~/.local/bin/korvel or in "
        "the engine's own environment.");
  ns.def(m, "get_version", &get_version, nb::sig("def get_version() -> str"),
        "The version printed by `korvel version`, or \"unknown\".");
  ns.def(m, "has_api_key", &has_api_key, nb::sig("def has_api_key() -> bool"),
        "Whether OPENROUTER_API_KEY is set in the environment or in ~/.korvel/.env.");
}
