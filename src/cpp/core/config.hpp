// A profile's config.yaml, read one way everywhere in the bridge:
//   - no file: an empty mapping, nothing logged;
//   - an empty or false document: an empty mapping;
//   - the engine's `_expand_env_vars` (korvel_cli.config) applied when it can
//     be imported;
//   - an unreadable or malformed file, or a top level that is not a mapping:
//     a failure, which a reader in the bridge logs as one warning
//     "Failed to load config.yaml: %s" on its module's logger and counts as no
//     mapping (the caller says what that means for it); the host can have the
//     error itself (runconf.read_profile_config).
// YAML support is the reading module's `yaml` binding when it has one, so
// that replacing it there is honoured.
#pragma once

#include "core/args.hpp"
#include "core/imports.hpp"
#include "core/log.hpp"
#include "core/paths.hpp"

namespace bridge {

namespace config_detail {

// Reads `file` (which exists).
inline nb::object parse(const Namespace& ns, nb::handle file) {
  nb::object text = file.attr("read_text")("encoding"_a = "utf-8");
  nb::object parsed = ns.std("yaml", "safe_load")(text);
  if (!truthy(parsed)) parsed = nb::dict();
  nb::object expand;
  try {
    expand = import_from("korvel_cli.config", "_expand_env_vars");
  } catch (nb::python_error& e) {
    if (!raised(e, PyExc_ImportError)) throw;
  }
  if (expand.is_valid()) parsed = expand(parsed);
  if (!is_mapping(parsed)) {
    PyErr_Format(PyExc_TypeError, "top level of %S is %U, not a mapping", file.ptr(),
                 bridge::type_name(parsed).ptr());
    throw nb::python_error();
  }
  return parsed;
}

}  // namespace config_detail

// The mapping; the error itself when the file cannot be read or parsed or
// its top level is not a mapping. A home that is no path is a TypeError.
inline nb::object read_profile_config(const Namespace& ns, nb::handle profile_home) {
  nb::object file = join(path(profile_home), "config.yaml");
  if (!truthy(file.attr("exists")())) return nb::dict();
  return config_detail::parse(ns, file);
}

// The mapping, or a null object after a failure to read the file (logged as
// a warning). A home that is no path is a TypeError.
inline nb::object read_profile_config(const Namespace& ns, const Logger& log,
                                      nb::handle profile_home) {
  nb::object file = join(path(profile_home), "config.yaml");
  if (!truthy(file.attr("exists")())) return nb::dict();
  try {
    return config_detail::parse(ns, file);
  } catch (nb::python_error& e) {
    if (!is_ordinary(e)) throw;
    log.warning("Failed to load config.yaml: %s", text_of(e.value()));
    return {};
  }
}

}  // namespace bridge
