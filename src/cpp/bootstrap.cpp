// Start-up of the bridge: bring its own package up to date from the package
// index (restarting the service after an update), make the engine loadable,
// apply the engine's configuration to the environment, log a summary.
#include "core/bridge.hpp"

namespace {

bridge::Namespace ns;
bridge::Logger log_(ns, "bridge.bootstrap");

constexpr const char* kPackageName = "korvel-dashboard";
constexpr const char* kDefaultPypiBase = "https://pypi.org";
constexpr const char* kPypiBaseVar = "BRIDGE_PYPI_BASE_URL";
constexpr const char* kPypiPath = "/pypi/korvel-dashboard/json";
constexpr const char* kSystemdUnit = "korvel-dashboard";
constexpr const char* kLaunchdLabel = "com.korvel.dashboard";
constexpr int kAttempts = 3;
constexpr double kRetryPause = 5.0;
constexpr double kRequestTimeout = 10.0;
constexpr double kInstallerTimeout = 120.0;

// Operations of the sibling setup modules, bound in this module's namespace
// when it loads, beside the modules themselves (`path`, `detect`). A call
// goes to this module's binding of the name; while that is still the
// original, the operation is looked up in the module bound here at call
// time, so replacing it in either place takes effect.
struct Sibling {
  const char* alias;   // this module's name for the sibling module
  const char* module;  // its dotted name
  const char* name;
  PyObject* original = nullptr;  // kept for the life of the process
};
Sibling inject_op{"path", "bridge.setup.path", "inject"};
Sibling is_installed_op{"detect", "bridge.setup.detect", "is_installed"};
Sibling has_api_key_op{"detect", "bridge.setup.detect", "has_api_key"};

void bind_sibling(nb::module_& m, Sibling& op) {
  nb::object module = bridge::import(op.module);
  nb::object f = module.attr(op.name);
  op.original = f.inc_ref().ptr();
  m.attr(op.alias) = module;
  m.attr(op.name) = f;
}

nb::object call_sibling(const Sibling& op) {
  nb::object f = ns.get(op.name);
  if (f.ptr() == op.original) f = ns.get(op.alias).attr(op.name);
  return f();
}

// ---- version ordering -------------------------------------------------------

// Whether `latest` is a newer release than `current` in PEP 440 order
// (packaging.version): a pre-release of the installed version, or an older
// release, is never installed over it. A version either side cannot parse
// fails the attempt (InvalidVersion).
bool is_newer(nb::handle latest, nb::handle current) {
  nb::object packaging = ns.module("packaging");
  if (!nb::hasattr(packaging, "version")) bridge::import("packaging.version");
  nb::object version = packaging.attr("version").attr("Version");
  nb::object l = version(latest), c = version(current);
  int r = PyObject_RichCompareBool(l.ptr(), c.ptr(), Py_GT);
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// ---- self-update ------------------------------------------------------------

nb::object pypi_url() {
  nb::object base = ns.std("os", "environ").attr("get")(kPypiBaseVar);
  if (base.is_none() || !bridge::truthy(base)) base = nb::str(kDefaultPypiBase);
  return base.attr("rstrip")("/") + nb::str(kPypiPath);
}

[[noreturn]] void fail_type(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  throw nb::python_error();
}

// PyPI's version of the package, or `current` when the document names none.
nb::object latest_version(nb::handle current) {
  nb::object response =
      ns.module("urllib").attr("request").attr("urlopen")(pypi_url(), "timeout"_a = kRequestTimeout);
  nb::object body = bridge::with_context(response, [](nb::handle r) { return r.attr("read")(); });
  if (body.is_none()) body = nb::bytes("");  // a read error its __exit__ suppressed

  nb::object document = ns.std("json", "loads")(body);
  if (!bridge::is_mapping(document))
    fail_type("PyPI answered with a JSON document that is not an object");
  nb::object info = document.attr("get")("info");
  if (info.is_none()) return nb::borrow(current);
  if (!bridge::is_mapping(info))
    fail_type("PyPI's \"info\" member is not an object");
  nb::object latest = info.attr("get")("version");
  if (latest.is_none()) return nb::borrow(current);
  if (!bridge::is_text(latest)) fail_type("PyPI's version is not text");
  return latest;
}

void restart_service() {
  nb::object sys = ns.module("sys");
  nb::object platform = sys.attr("platform");
  nb::list argv;
  if (nb::str("linux").equal(platform)) {
    for (const char* a : {"systemctl", "--user", "restart", kSystemdUnit})
      argv.append(nb::str(a));
  } else if (nb::str("darwin").equal(platform)) {
    nb::object target = nb::str("gui/{}/{}").attr("format")(
        ns.std("os", "getuid")(), kLaunchdLabel);
    for (const char* a : {"launchctl", "kickstart", "-k"}) argv.append(nb::str(a));
    argv.append(target);
  } else {
    return;
  }
  nb::object subprocess = ns.module("subprocess");
  try {
    // Left to run on its own: the service manager stops this process anyway.
    subprocess.attr("Popen")(argv, "stdout"_a = subprocess.attr("DEVNULL"),
                             "stderr"_a = subprocess.attr("DEVNULL"));
  } catch (nb::python_error& e) {
    if (!bridge::is_ordinary(e)) throw;
  }
}

// One query-install-restart pass. Returns normally when no update is needed;
// raises SystemExit after an update; any other error fails the attempt.
void update_once() {
  nb::object package = ns.get("PACKAGE_NAME");
  nb::object current = ns.module("importlib").attr("metadata").attr("version")(package);
  if (!bridge::is_text(current)) fail_type("the installed distribution records no version");
  nb::object latest = latest_version(current);

  if (latest.equal(current) || !is_newer(latest, current)) {
    log_.info("korvel-dashboard %s is up to date", current);
    return;
  }

  log_.info("Updating %s: %s → %s", package, current, latest);
  nb::list argv;
  argv.append(ns.std("sys", "executable"));
  for (const char* a : {"-m", "pip", "install", "--upgrade", "--quiet"}) argv.append(nb::str(a));
  argv.append(package + nb::str("==") + latest);
  nb::object done =
      ns.std("subprocess", "run")(argv, "timeout"_a = kInstallerTimeout, "check"_a = true);
  // A run that reports a failing status without raising fails the attempt too.
  nb::object status = nb::getattr(done, "returncode", nb::int_(0));
  if (!status.is_none() && !status.equal(nb::int_(0))) {
    nb::object error = ns.std("subprocess", "CalledProcessError")(status, argv);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
  }

  log_.info("Update complete — restarting service to use %s", latest);
  restart_service();
  ns.std("sys", "exit")(0);
}

void auto_update() {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    try {
      update_once();
      return;
    } catch (nb::python_error& e) {
      if (!bridge::is_ordinary(e)) throw;  // SystemExit, KeyboardInterrupt
      log_.warning("Auto-update attempt %d/3 failed: %s", attempt + 1,
                   bridge::text_of(e.value()));
    }
    if (attempt < kAttempts - 1) bridge::sleep_seconds(kRetryPause, ns.module("time"));
  }
}

void setup_env() {
  bridge::never_raise(log_, "Env setup failed (non-fatal): %s", nb::none(), [] {
    nb::object env_setup = ns.std("importlib", "import_module")("bridge.env_setup");
    env_setup.attr("setup_agent_environment")();
    return nb::none();
  });
}

// For hosts that apply the engine's configuration themselves (a host that
// skips the self-update): the namespace's `_setup_env` of the moment.
void apply_engine_environment() { ns.call("_setup_env"); }

void bootstrap() {
  ns.call("_auto_update");
  call_sibling(inject_op);
  if (bridge::truthy(call_sibling(is_installed_op))) ns.call("_setup_env");
  const char* korvel = bridge::truthy(call_sibling(is_installed_op)) ? "installed" : "missing";
  const char* api_key = bridge::truthy(call_sibling(has_api_key_op)) ? "set" : "missing";
  log_.info("Bootstrap: korvel=%s, api_key=%s", korvel, api_key);
}

}  // namespace

NB_MODULE(bootstrap, m) {
  auto init = ns.bind(m);
  ns.import_modules(m, {"os", "sys", "json", "time", "logging", "subprocess", "importlib"});
  bridge::import("importlib.metadata");
  // Needed only to compare versions; a start without it (a bare source
  // checkout) fails just the update attempts.
  try {
    bridge::import("packaging.version");
    m.attr("packaging") = bridge::import("packaging");
  } catch (nb::python_error& e) {
    if (!bridge::raised(e, PyExc_ImportError)) throw;
  }
  bridge::import("urllib.request");
  m.attr("urllib") = bridge::import("urllib");
  m.attr("logger") = log_.named();
  m.attr("PACKAGE_NAME") = nb::str(kPackageName);
  m.attr("DEFAULT_PYPI_BASE_URL") = nb::str(kDefaultPypiBase);

  bind_sibling(m, inject_op);
  bind_sibling(m, is_installed_op);
  bind_sibling(m, has_api_key_op);

  ns.def(m, "bootstrap", &bootstrap, nb::sig("def bootstrap() -> None"),
        "Self-update, make the engine loadable, apply its configuration when "
        "installed, and log a one-line summary.");
  ns.def(m, "_auto_update", &auto_update, nb::sig("def _auto_update() -> None"),
        "Install PyPI's newer release of the package and restart the service "
        "(the process then exits with status 0); three attempts.");
  ns.def(m, "_setup_env", &setup_env, nb::sig("def _setup_env() -> None"),
        "Apply the engine's configuration to the environment; never raises.");
  ns.def(m, "setup_env", &apply_engine_environment, nb::sig("def setup_env() -> None"),
        "Apply the engine's configuration to the environment (calls _setup_env); never raises.");
}
