// Looks at the machine: is the engine installed, which version is it, and is
// an OpenRouter API key configured. Changes nothing and keeps no state.
#include "core/bridge.hpp"

namespace {

bridge::Namespace ns;

constexpr const char* kProgram = "korvel";
constexpr const char* kKeyName = "OPENROUTER_API_KEY";
// A key in the file counts when its value has at least this many characters.
constexpr size_t kMinKeyValue = 6;

bool exists(nb::handle p) { return nb::cast<bool>(p.attr("exists")()); }

using bridge::join;

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

  nb::object env_file = bridge::join(ns.get("KORVEL_HOME"), ".env");
  if (!exists(env_file)) return false;
  // Read as python-dotenv reads it when the engine loads the file; an error
  // reading the file reaches the caller.
  nb::object text = env_file.attr("read_text")();
  static bridge::Name n_values("dotenv_values");
  nb::object reader = ns.peek(n_values) ? ns.get(n_values)
                                        : bridge::stdlib("dotenv", "dotenv_values");
  nb::object values = reader("stream"_a = ns.std("io", "StringIO")(text));
  nb::object key = bridge::mapping_get(values, nb::str(kKeyName));
  return key.is_valid() && bridge::is_text(key) && nb::len(key) >= kMinKeyValue;
}

}  // namespace

NB_MODULE(detect, m) {
  auto init = ns.bind(m);
  ns.import_modules(m, {"os", "shutil", "subprocess", "pathlib", "io"});
  // Needed only when a secrets file is read; a bare start without it fails
  // just that read.
  try {
    m.attr("dotenv_values") = bridge::stdlib("dotenv", "dotenv_values");
  } catch (nb::python_error& e) {
    if (!bridge::raised(e, PyExc_ImportError)) throw;
  }
  nb::object korvel_home = bridge::home_join(".korvel");
  m.attr("KORVEL_HOME") = korvel_home;
  m.attr("AGENT_DIR") = join(korvel_home, "korvel-agent");

  ns.def(m, "is_installed", &is_installed, nb::sig("def is_installed() -> bool"),
        "Whether the engine's program is on PATH, at ~/.local/bin/korvel or in "
        "the engine's own environment.");
  ns.def(m, "get_version", &get_version, nb::sig("def get_version() -> str"),
        "The version printed by `korvel version`, or \"unknown\".");
  ns.def(m, "has_api_key", &has_api_key, nb::sig("def has_api_key() -> bool"),
        "Whether OPENROUTER_API_KEY is set in the environment or in ~/.korvel/.env\n"
        "(read as python-dotenv reads it, with a value of 6 characters or more).");
}
