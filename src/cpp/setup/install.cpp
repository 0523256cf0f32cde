// Runs the engine's official installer script (downloaded by curl, run by
// bash) and hands every line of its output to the caller as it arrives.
#include "core/bridge.hpp"

namespace {

bridge::Namespace ns;

constexpr const char* kInstallScriptUrl =
    "https://raw.githubusercontent.com/korvel-ai/korvel-agent/main/scripts/install.sh";
constexpr const char* kWslGuideUrl = "https://learn.microsoft.com/windows/wsl/install";

[[noreturn]] void fail(nb::handle message) {
  PyErr_SetObject(PyExc_RuntimeError, message.ptr());
  throw nb::python_error();
}

// Stops the installer after the reader gave up (on_output raised); keeps the
// reader's error, so nothing here may raise.
void abandon(nb::handle proc) {
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  try {
    proc.attr("kill")();
    proc.attr("stdout").attr("close")();
    proc.attr("wait")();
  } catch (nb::python_error&) {
  }
  PyErr_Restore(type, value, trace);
}

void install_korvel(nb::handle on_output) {
  if (!on_output.is_none()) bridge::need_callable(on_output, "install_korvel", "on_output");

  if (nb::str("win32").equal(ns.std("sys", "platform")))
    fail(nb::str("Native Windows is not supported. Please use WSL2: {}")
             .attr("format")(ns.get("WSL_GUIDE_URL")));

  // pipefail: a failed download fails the command instead of letting the
  // second shell run an empty script and report success.
  nb::object quoted = ns.std("shlex", "quote")(ns.get("INSTALL_SCRIPT_URL"));
  nb::object command =
      nb::str("set -o pipefail; curl -fsSL {} | bash").attr("format")(quoted);
  nb::list argv;
  argv.append(nb::str("bash"));
  argv.append(nb::str("-c"));
  argv.append(command);

  nb::object subprocess = ns.module("subprocess");
  // Undecodable bytes become U+FFFD rather than ending the read half-way.
  nb::object proc = subprocess.attr("Popen")(
      argv, "stdout"_a = subprocess.attr("PIPE"), "stderr"_a = subprocess.attr("STDOUT"),
      "text"_a = true, "errors"_a = "replace");

  try {
    nb::object out = proc.attr("stdout");
    // readline waits with the GIL released, inside the io module.
    for (nb::handle line : out) {
      nb::object trimmed = line.attr("rstrip")();
      if (!on_output.is_none()) on_output(trimmed);
    }
    if (nb::hasattr(out, "close")) out.attr("close")();
  } catch (nb::python_error& e) {
    e.restore();
    abandon(proc);
    throw nb::python_error();
  }

  nb::object code = proc.attr("wait")();
  // The status as Popen records it; wait()'s own result where it does not.
  if (nb::hasattr(proc, "returncode") && !proc.attr("returncode").is_none())
    code = proc.attr("returncode");
  if (!code.equal(nb::int_(0)))
    fail(nb::str("Installation failed (exit code {})").attr("format")(code));
}

}  // namespace

NB_MODULE(install, m) {
  auto init = ns.bind(m);
  ns.import_modules(m, {"os", "sys", "shlex", "subprocess"});
  m.attr("INSTALL_SCRIPT_URL") = nb::str(kInstallScriptUrl);
  m.attr("WSL_GUIDE_URL") = nb::str(kWslGuideUrl);

  ns.def(m, "install_korvel", &install_korvel, "on_output"_a = nb::none(),
        nb::sig("def install_korvel(on_output: typing.Optional[typing.Callable[[str], "
                "object]] = None) -> None"),
        "Run the engine's installer, passing each output line (trailing whitespace "
        "removed) to on_output; RuntimeError when it fails.");
}
