// Makes the engine's modules loadable from the host interpreter: its
// installation directory goes to the front of sys.path, the package directory
// of its private virtual environment to the end.
#include "core/bridge.hpp"

namespace {

bridge::Namespace ns;

bool exists(nb::handle p) { return nb::cast<bool>(p.attr("exists")()); }

using bridge::join;

// Whether `text` is an element of the search path (== on each element).
bool on_path(nb::handle search_path, nb::handle text) {
  int r = PySequence_Contains(search_path.ptr(), text.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// The path's text form, when it exists and is not yet on the search path.
nb::object addable(nb::handle search_path, nb::handle p) {
  if (!exists(p)) return nb::none();
  nb::str text = nb::str(p);
  if (on_path(search_path, text)) return nb::none();
  return text;
}

void inject() {
  nb::object search_path = ns.std("sys", "path");
  nb::object agent_dir = ns.get("AGENT_DIR");
  nb::object venv_dir = ns.get("VENV_DIR");

  nb::object front = addable(search_path, agent_dir);
  if (!front.is_none()) search_path.attr("insert")(0, front);

  nb::object lib_dir = join(venv_dir, "lib");
  if (exists(lib_dir)) {
    // Descending by path text, code point by code point (not by version).
    nb::list entries;
    for (nb::handle entry : lib_dir.attr("iterdir")()) entries.append(entry);
    entries.attr("sort")("key"_a = nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
                 "reverse"_a = true);
    for (nb::handle entry : entries) {
      nb::object site = addable(search_path, join(entry, "site-packages"));
      if (!site.is_none()) {
        search_path.attr("append")(site);
        return;
      }
    }
  }

  nb::object win_site = addable(search_path, join(join(venv_dir, "Lib"), "site-packages"));
  if (!win_site.is_none()) search_path.attr("append")(win_site);
}

}  // namespace

NB_MODULE(path, m) {
  auto init = ns.bind(m);
  ns.import_modules(m, {"os", "sys", "pathlib"});
  nb::object korvel_home = bridge::home_join(".korvel");
  nb::object agent_dir = join(korvel_home, "korvel-agent");
  m.attr("KORVEL_HOME") = korvel_home;
  m.attr("AGENT_DIR") = agent_dir;
  m.attr("VENV_DIR") = join(agent_dir, "venv");

  ns.def(m, "inject", &inject, nb::sig("def inject() -> None"),
        "Put the engine's directory at the front of sys.path and its virtual "
        "environment's site-packages at the end, when installed and not yet there.");
}
