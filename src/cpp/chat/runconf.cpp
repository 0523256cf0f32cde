// A profile's config.yaml turned into the engine's extra constructor
// arguments. Reads only; keeps no state.
#include "core/bridge.hpp"
#include "core/config.hpp"

namespace {

bridge::Namespace ns;
bridge::Logger log_(ns, "bridge.runconf");

constexpr long kDefaultIterations = 90;


// cfg.get(key, fallback)
nb::object get(nb::handle mapping, const char* key, nb::handle fallback) {
  return bridge::mapping_get_or(mapping, key, fallback);
}

nb::object read_profile_config(nb::handle profile_home) {
  return bridge::read_profile_config(ns, profile_home);
}

nb::object load_profile_config(nb::handle profile_home) {
  nb::object cfg = bridge::read_profile_config(ns, log_, profile_home);
  return cfg.is_valid() ? cfg : nb::dict();
}

nb::dict get_provider_routing(nb::handle cfg) {
  bridge::need_mapping(cfg, "get_provider_routing", "cfg");
  nb::dict result;
  nb::object providers = get(cfg, "providers", nb::dict());
  if (!bridge::is_mapping(providers)) return result;
  static const std::pair<const char*, const char*> when_true[] = {
      {"only", "providers_allowed"},
      {"ignore", "providers_ignored"},
      {"order", "providers_order"},
      {"sort", "provider_sort"},
  };
  for (const auto& [key, arg] : when_true) {
    nb::object v = get(providers, key, nb::none());
    if (bridge::truthy(v)) result[arg] = v;
  }
  nb::object require = get(providers, "require_parameters", nb::none());
  if (!require.is_none()) result["provider_require_parameters"] = nb::bool_(bridge::truthy(require));
  nb::object collection = get(providers, "data_collection", nb::none());
  if (!collection.is_none()) result["provider_data_collection"] = collection;
  return result;
}

// A non-empty mapping under `key`, or None.
nb::object mapping_entry(nb::handle cfg, const char* key) {
  nb::object v = get(cfg, key, nb::dict());
  if (bridge::is_mapping(v) && bridge::truthy(v)) return v;
  return nb::none();
}

nb::object get_reasoning_config(nb::handle cfg) {
  bridge::need_mapping(cfg, "get_reasoning_config", "cfg");
  return mapping_entry(cfg, "reasoning");
}

nb::object get_request_overrides(nb::handle cfg) {
  bridge::need_mapping(cfg, "get_request_overrides", "cfg");
  return mapping_entry(cfg, "request_overrides");
}

// The text stripped of surrounding whitespace when it is non-blank text.
nb::object stripped_text(nb::handle v) {
  if (!bridge::truthy(v) || !bridge::is_text(v)) return nb::none();
  nb::object s = v.attr("strip")();
  return bridge::truthy(s) ? s : nb::none();
}

nb::object get_service_tier(nb::handle cfg) {
  bridge::need_mapping(cfg, "get_service_tier", "cfg");
  return stripped_text(get(cfg, "service_tier", nb::none()));
}

nb::object get_fallback_model(nb::handle cfg) {
  bridge::need_mapping(cfg, "get_fallback_model", "cfg");
  nb::object model = get(cfg, "model", nb::dict());
  if (!bridge::is_mapping(model)) return nb::none();
  return stripped_text(get(model, "fallback", nb::str("")));
}

// int(value), or nothing when the value has no integer value. Infinity and
// NaN count as unusable like any other value.
std::optional<nb::object> as_int(nb::handle v) {
  PyObject* r = PyNumber_Long(v.ptr());
  if (r) return nb::steal(r);
  if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
      PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Clear();
    return std::nullopt;
  }
  throw nb::python_error();
}

nb::object get_max_iterations(nb::handle cfg) {
  bridge::need_mapping(cfg, "get_max_iterations", "cfg");
  nb::object env = ns.std("os", "environ").attr("get")("KORVEL_MAX_ITERATIONS");
  if (!env.is_none() && bridge::truthy(env)) {
    // Only text from the environment: a ValueError means "not a number".
    PyObject* r = PyNumber_Long(env.ptr());
    if (r) return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
    PyErr_Clear();
  }
  nb::object agent = get(cfg, "agent", nb::dict());
  if (bridge::is_mapping(agent)) {
    nb::object turns = get(agent, "max_turns", nb::none());
    if (!turns.is_none()) {
      if (auto n = as_int(turns)) return *n;
    }
  }
  return nb::int_(kDefaultIterations);
}

nb::dict build_agent_kwargs(nb::handle profile_home) {
  static bridge::Name load("_load_profile_config"), routing("get_provider_routing"),
      reasoning("get_reasoning_config"), tier("get_service_tier"),
      fallback("get_fallback_model"), iterations("get_max_iterations"),
      overrides("get_request_overrides");
  nb::object cfg = ns.call(load, profile_home);
  nb::dict result;
  nb::object routes = ns.call(routing, cfg);
  if (PyDict_Merge(result.ptr(), routes.ptr(), 1) != 0) throw nb::python_error();
  if (nb::object v = ns.call(reasoning, cfg); bridge::truthy(v)) result["reasoning_config"] = v;
  if (nb::object v = ns.call(tier, cfg); bridge::truthy(v)) result["service_tier"] = v;
  if (nb::object v = ns.call(fallback, cfg); bridge::truthy(v)) result["fallback_model"] = v;
  result["max_iterations"] = ns.call(iterations, cfg);
  if (nb::object v = ns.call(overrides, cfg); bridge::truthy(v)) result["request_overrides"] = v;
  return result;
}

}  // namespace

NB_MODULE(runconf, m) {
  auto init = ns.bind(m);
  ns.import_modules(m, {"os", "logging"});
  // YAML support is needed only while a file is read; without it a read
  // fails like any unreadable file (a warning), not the module load.
  try {
    m.attr("yaml") = bridge::import("yaml");
  } catch (nb::python_error& e) {
    if (!bridge::raised(e, PyExc_ImportError)) throw;
  }
  m.attr("Path") = bridge::stdlib("pathlib", "Path");
  m.attr("logger") = log_.named();

  ns.def(m, "read_profile_config", &read_profile_config, "profile_home"_a.none(),
         nb::sig("def read_profile_config(profile_home: str | os.PathLike[str]) -> dict"),
         "The profile's config.yaml as a mapping ({} when there is none), read as\n"
         "every part of the bridge reads it; an unreadable or malformed file, or one\n"
         "whose top level is not a mapping, raises its error (for a host to report).");
  ns.def(m, "_load_profile_config", &load_profile_config, "profile_home"_a.none(),
        nb::sig("def _load_profile_config(profile_home: str | os.PathLike[str]) -> dict"),
        "The profile's config.yaml as a mapping; empty when missing or unreadable.");
  ns.def(m, "get_provider_routing", &get_provider_routing, "cfg"_a.none(),
        nb::sig("def get_provider_routing(cfg: collections.abc.Mapping) -> dict"),
        "Provider-routing constructor arguments from `providers`.");
  ns.def(m, "get_reasoning_config", &get_reasoning_config, "cfg"_a.none(),
        nb::sig("def get_reasoning_config(cfg: collections.abc.Mapping) -> dict | None"),
        "The `reasoning` mapping when configured.");
  ns.def(m, "get_service_tier", &get_service_tier, "cfg"_a.none(),
        nb::sig("def get_service_tier(cfg: collections.abc.Mapping) -> str | None"),
        "The trimmed `service_tier` text when configured.");
  ns.def(m, "get_fallback_model", &get_fallback_model, "cfg"_a.none(),
        nb::sig("def get_fallback_model(cfg: collections.abc.Mapping) -> str | None"),
        "The trimmed `model.fallback` text when configured.");
  ns.def(m, "get_max_iterations", &get_max_iterations, "cfg"_a.none(),
        nb::sig("def get_max_iterations(cfg: collections.abc.Mapping) -> int"),
        "KORVEL_MAX_ITERATIONS, else `agent.max_turns`, else 90.");
  ns.def(m, "get_request_overrides", &get_request_overrides, "cfg"_a.none(),
        nb::sig("def get_request_overrides(cfg: collections.abc.Mapping) -> dict | None"),
        "The `request_overrides` mapping when configured.");
  ns.def(m, "build_agent_kwargs", &build_agent_kwargs, "profile_home"_a.none(),
        nb::sig("def build_agent_kwargs(profile_home: str | os.PathLike[str]) -> dict"),
        "Extra AIAgent keyword arguments from the profile's config.yaml.");
}
