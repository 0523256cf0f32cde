// Profiles: which profile is active, where each profile lives, one session
// store per profile, and the model the active profile is configured for.
#include "chat/warmpool/warmpool.hpp"

namespace warmpool {

namespace {

bridge::Name n_get_profile_home("get_profile_home");


using bridge::truthy;

using bridge::join;

// `profile` when it is a non-empty text, else the active profile.
nb::object chosen(nb::handle profile) {
  if (!profile.is_none() && PyObject_Length(profile.ptr()) > 0) return nb::borrow(profile);
  if (PyErr_Occurred()) throw nb::python_error();
  return state(n_active);
}

nb::object profile_home_of(nb::handle p) {
  nb::object root = bridge::path(ns.get("os").attr("path").attr("expanduser")("~"));
  nb::object korvel = join(root, ".korvel");
  if (nb::str("default").equal(p)) return korvel;
  return join(join(korvel, "profiles"), p);
}

nb::object get_profile_home(nb::handle profile) {
  bridge::need_optional_text(profile, "get_profile_home", "profile");
  return profile_home_of(chosen(profile));
}

nb::object get_session_db(nb::handle profile) {
  bridge::need_optional_text(profile, "get_session_db", "profile");
  return session_db(profile);
}

nb::object get_active_profile() { return state(n_active); }

// A profile name must name one directory below ~/.korvel/profiles: a name
// that is empty, "." or "..", absolute, or holds a separator would point
// the environment, the job paths and the session store elsewhere.
void need_plain_name(nb::handle name) {
  nb::str text = nb::borrow<nb::str>(name);
  bool bad = bridge::text_length(text.ptr()) == 0 || text.equal(nb::str(".")) ||
             text.equal(nb::str(".."));
  const nb::str separators[] = {nb::str("/"), nb::str("\\"), nb::str("\0", 1)};
  for (const nb::str& sep : separators) {
    if (bad) break;
    int r = PySequence_Contains(text.ptr(), sep.ptr());
    if (r < 0) throw nb::python_error();
    bad = r == 1;
  }
  if (!bad) bad = nb::cast<bool>(ns.get("os").attr("path").attr("isabs")(text));
  if (bad) {
    PyErr_Format(PyExc_ValueError, "invalid profile name %R: it must be one plain directory name",
                 text.ptr());
    throw nb::python_error();
  }
}

// Puts back every variable the active profile's .env changed (to its value
// before that load, or unset when it had none).
void restore_profile_env(nb::handle environ) {
  nb::object changes = state(n_env_changes);
  nb::object items = steal_or_throw(PySequence_List(changes.attr("items")().ptr()));
  for (nb::handle item : items) {
    nb::object var = item[0], before = item[1];
    if (before.is_none())
      environ.attr("pop")(var, nb::none());
    else
      environ[var] = before;
  }
  changes.attr("clear")();
}

// Loads a profile's .env with override, noting the value each variable it
// changes had before (None when unset).
void load_profile_env(nb::handle environ, nb::handle env_file) {
  nb::object dict_type = nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
  nb::object before = dict_type(environ);
  ns.get("load_dotenv")(env_file, "override"_a = true);
  nb::object after = dict_type(environ);
  nb::object changes = state(n_env_changes);
  for (auto [var, value] : nb::borrow<nb::dict>(after)) {
    nb::object old = bridge::mapping_get(before, var);
    if (old.is_valid() && old.equal(value)) continue;
    if (!bridge::mapping_get(changes, var).is_valid() &&
        PyObject_SetItem(changes.ptr(), var.ptr(), old.is_valid() ? old.ptr() : Py_None) != 0)
      throw nb::python_error();
  }
}

void set_active_profile(nb::handle name) {
  bridge::need_text(name, "set_active_profile", "name");
  need_plain_name(name);
  nb::object old_profile = state(n_active);
  ns.set(n_active, name);
  nb::object new_home = ns.get(n_get_profile_home)(name);
  nb::object environ = ns.get("os").attr("environ");
  environ[nb::str("KORVEL_HOME")] = nb::str(new_home);

  nb::object jobs;
  try {
    jobs = bridge::import("cron.jobs");
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_ImportError)) throw;
  }
  if (jobs.is_valid()) {
    nb::object dir = new_home.attr("resolve")();
    jobs.attr("KORVEL_DIR") = dir;
    nb::object cron = join(dir, "cron");
    jobs.attr("CRON_DIR") = cron;
    jobs.attr("JOBS_FILE") = join(cron, "jobs.json");
    jobs.attr("OUTPUT_DIR") = join(cron, "output");
  }

  // A profile's secrets stay in that profile: what the previous profile's
  // .env set goes back to what it was before, then the new one is loaded.
  // Choosing the active profile again leaves the environment alone.
  if (!name.equal(old_profile)) {
    restore_profile_env(environ);
    nb::object env_file = join(new_home, ".env");
    if (truthy(env_file.attr("exists")())) load_profile_env(environ, env_file);
  }

  if (!name.equal(old_profile)) {
    {
      bridge::Hold hold(state(n_cache_lock));
      state(n_cache).attr("clear")();
    }
    log_.info("Profile switched: %s \xE2\x86\x92 %s", old_profile, name);
  }
}


// The model named by the active profile's config.yaml: its `model` text, or
// the `default` (else `model`) entry of a `model` mapping, or empty text; a
// null object when the file is missing or unreadable or `model` has another
// shape.
nb::object model_from_config() {
  nb::object home = ns.get(n_get_profile_home)(state(n_active));
  if (!truthy(bridge::join(home, "config.yaml").attr("exists")())) return {};
  nb::object doc = bridge::read_profile_config(ns, log_, home);
  if (!doc.is_valid()) return {};
  nb::object model_cfg = doc.attr("get")("model", nb::dict());
  if (bridge::is_text(model_cfg)) return model_cfg;
  if (bridge::is_mapping(model_cfg)) {
    nb::object chosen_value;
    nb::object d = model_cfg.attr("get")("default");
    nb::object mm = model_cfg.attr("get")("model");
    if (truthy(d))
      chosen_value = d;
    else if (truthy(mm))
      chosen_value = mm;
    else
      return nb::str("");
    if (!bridge::is_text(chosen_value)) {
      PyErr_Format(PyExc_TypeError, "model name must be text, not %U",
                   bridge::type_name(chosen_value).ptr());
      throw nb::python_error();
    }
    return chosen_value;
  }
  return {};
}

nb::object get_config_model() {
  try {
    nb::object model = model_from_config();
    if (model.is_valid()) return model;
  } catch (nb::python_error& e) {
    if (!bridge::is_ordinary(e)) throw;
  }
  return ns.get("os").attr("environ").attr("get")("ZALIX_MODEL", "");
}

// For hosts: the same answer, through the namespace's `_get_config_model`
// of the moment.
nb::object config_model() { return ns.call("_get_config_model"); }

}  // namespace

nb::object session_db(nb::handle profile) {
  nb::object p = chosen(profile);
  nb::object dbs = state(n_dbs);
  bridge::Hold hold(state(n_dbs_lock));
  nb::object db = mapping_get(dbs, p);
  if (db.is_valid()) return db;
  static bridge::Name n_session_db("SessionDB");
  nb::object db_path = join(ns.get(n_get_profile_home)(p), "state.db");
  db = ns.get(n_session_db)("db_path"_a = db_path);
  if (PyObject_SetItem(dbs.ptr(), p.ptr(), db.ptr()) != 0) throw nb::python_error();
  return db;
}

void define_profiles(nb::module_& m) {
  ns.def(m, "get_profile_home", &get_profile_home, "profile"_a.none() = nb::none(),
        nb::sig("def get_profile_home(profile: str | None = None) -> pathlib.Path"),
        "Home directory of a profile (the active one when none is named).");
  ns.def(m, "get_session_db", &get_session_db, "profile"_a.none() = nb::none(),
        nb::sig("def get_session_db(profile: str | None = None) -> object"),
        "The profile's session store, opened once on first request.");
  ns.def(m, "get_active_profile", &get_active_profile,
        nb::sig("def get_active_profile() -> str"), "Name of the active profile.");
  ns.def(m, "set_active_profile", &set_active_profile, "name"_a.none(),
        nb::sig("def set_active_profile(name: str) -> None"),
        "Make a profile active: environment, job paths, .env, warm agents.");
  ns.def(m, "_get_config_model", &get_config_model, nb::sig("def _get_config_model() -> str"),
        "Model configured for the active profile, else ZALIX_MODEL, else ''.");
  ns.def(m, "get_config_model", &config_model, nb::sig("def get_config_model() -> str"),
        "Model configured for the active profile, else ZALIX_MODEL, else '' (calls _get_config_model).");
  remember(OP_GET_SESSION_DB, "get_session_db");
}

}  // namespace warmpool
