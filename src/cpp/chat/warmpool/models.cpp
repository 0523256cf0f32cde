// Model generation: a process-wide count of model configuration changes,
// and the one-time switch notes left for sessions whose agent was switched.
#include "chat/warmpool/warmpool.hpp"
#include "core/fastcall.hpp"

namespace warmpool {

namespace {


nb::object bump_model_generation() {
  bridge::Hold hold(state(n_generation_lock));
  nb::object next =
      steal_or_throw(PyNumber_Add(state(n_generation).ptr(), nb::int_(1).ptr()));
  ns.set(n_generation, next);
  return next;
}

nb::object get_model_generation() { return model_generation(); }

nb::object pop_pending_model_note(nb::handle session_id) {
  bridge::need_text(session_id, "pop_pending_model_note", "session_id");
  nb::object notes = state(n_notes);
  bridge::Hold hold(state(n_notes_lock));
  nb::object note = bridge::mapping_pop(notes, session_id);
  return note.is_valid() ? note : nb::none();
}

}  // namespace

nb::object model_generation() {
  bridge::Hold hold(state(n_generation_lock));
  return state(n_generation);
}

void define_models(nb::module_& m) {
  ns.def(m, "bump_model_generation", &bump_model_generation,
        nb::sig("def bump_model_generation() -> int"),
        "Count a model configuration change; returns the new generation.");
  ns.def(m, "get_model_generation", &get_model_generation,
        nb::sig("def get_model_generation() -> int"), "The current model generation.");
  bridge::FastDef<&pop_pending_model_note>::add(
      ns, m, "pop_pending_model_note", {"session_id"}, 1,
      "pop_pending_model_note($module, /, session_id)\n--\n\n"
      "Take the session's pending model switch note, if any.");
  remember(OP_GET_MODEL_GENERATION, "get_model_generation");
}

}  // namespace warmpool
