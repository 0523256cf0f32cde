// Model generation: a process-wide count of model configuration changes,
// and the one-time switch notes left for sessions whose agent was switched.
#include "chat/warmpool/warmpool.hpp"
#include "core/fastcall.hpp"
#include "core/text.hpp"

namespace warmpool {

namespace {

// The pieces of a switch note. switch_note writes them and split_model_note
// reads them back.
constexpr const char* kNoteFrom = "[Note: model was just switched from ";
constexpr const char* kNoteTo = " to ";
constexpr const char* kNoteNow = ". You are now ";
constexpr const char* kNoteEnd = ". Adjust your self-identification accordingly.]";
// Between the note and the user's text.
constexpr const char* kNoteGap = "\n\n";

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

using bridge::piece_length;
using bridge::text_has_at;

// Whether text[start:end] is a note's names: old, kNoteTo, new, kNoteNow and
// new again. Either name may hold the joining pieces themselves, so every
// place of kNoteNow is tried.
bool names_at(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
  for (Py_ssize_t now = bridge::text_find(text, kNoteNow, start, end); now >= 0;
       now = bridge::text_find(text, kNoteNow, now + 1, end)) {
    Py_ssize_t new_start = now + piece_length(kNoteNow);
    Py_ssize_t to = now - (end - new_start) - piece_length(kNoteTo);
    if (to < start || !text_has_at(text, to, kNoteTo)) continue;
    nb::object new_model = bridge::text_slice(text, new_start, end);
    if (bridge::text_tailmatch(text, new_model, to + piece_length(kNoteTo), now, -1)) return true;
  }
  return false;
}

// The inverse of putting a switch note in front of the user's text: the
// note, and the text after it with the gap taken off.
nb::object split_model_note(nb::handle text) {
  bridge::need_text(text, "split_model_note", "text");
  PyObject* t = text.ptr();
  Py_ssize_t len = bridge::text_length(t);
  nb::object none = nb::make_tuple(nb::none(), text);
  if (!text_has_at(t, 0, kNoteFrom)) return none;
  // Model names hold no line feed: the note is the first line.
  Py_ssize_t end = bridge::text_line_end(t, 0, len);
  Py_ssize_t names = piece_length(kNoteFrom);
  if (!bridge::text_ends_with(t, names, end, kNoteEnd)) return none;
  if (!names_at(t, names, end - piece_length(kNoteEnd))) return none;
  Py_ssize_t rest = end;
  if (end < len) {
    if (!text_has_at(t, end, kNoteGap)) return none;
    rest += piece_length(kNoteGap);
  }
  return nb::make_tuple(bridge::text_slice(t, 0, end), bridge::text_slice(t, rest, len));
}

}  // namespace

nb::object switch_note(nb::handle old_model, nb::handle new_model) {
  nb::object pieces = nb::make_tuple(nb::str(kNoteFrom), old_model, nb::str(kNoteTo), new_model,
                                     nb::str(kNoteNow), new_model, nb::str(kNoteEnd));
  return steal_or_throw(PyUnicode_Join(nb::str("").ptr(), pieces.ptr()));
}

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
  ns.def(m, "split_model_note", &split_model_note, "text"_a.none(),
        nb::sig("def split_model_note(text: str) -> tuple[str | None, str]"),
        "A switch note at the front of a text and the text after it; (None, text) without one.");
  remember(OP_GET_MODEL_GENERATION, "get_model_generation");
}

}  // namespace warmpool
