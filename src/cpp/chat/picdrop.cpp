// Image attachments: saving uploads under ~/.korvel/uploads, decoding images
// sent as data URLs, and turning saved images into text the agent can read
// through the engine's vision tool.
#include "core/bridge.hpp"
#include "core/imports.hpp"
#include "core/text.hpp"

namespace {

bridge::Namespace ns;
bridge::Logger log_(ns, "bridge.picdrop");

constexpr const char* kVisionPrompt =
    "Describe everything visible in this image in thorough detail. Include any text, code, "
    "data, objects, people, layout, colors, and any other notable visual information.";

// The pieces of the text an image becomes in front of the user's words, one
// of three: the vision tool's description (success), no description
// (no success), or a failure. enrich_message_with_images writes them and
// split_enriched_message reads them back, from these same pieces.
constexpr const char* kSeenHead = "[The user sent an image~ Here's what I can see:\n";
constexpr const char* kSeenPath =
    "]\n[If you need a closer look, use vision_analyze with image_url: ";
constexpr const char* kSeenEnd = " ~]";
constexpr const char* kUnseenHead =
    "[The user sent an image but I couldn't quite see it this time (>_<) You can try looking "
    "at it yourself with vision_analyze using image_url: ";
constexpr const char* kFailedHead =
    "[The user sent an image but something went wrong when I tried to look at it~ You can try "
    "examining it yourself with vision_analyze using image_url: ";
// Closes the no-success and failure texts, right after the path.
constexpr const char* kPathEnd = "]";
// Between two image texts, and between the last and the user's words.
constexpr const char* kGap = "\n\n";


// ---------------------------------------------------------------- saving

// Where uploads are saved: the namespace's `_UPLOAD_DIR` of the moment.
nb::object upload_dir() { return ns.get("_UPLOAD_DIR"); }

nb::object ensure_upload_dir() {
  nb::object dir = ns.get("_UPLOAD_DIR");
  dir.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  return dir;
}

// The suffix of the last path component of a client's file name, as
// PurePath(name).suffix gives it; ".png" when it has none. Only this suffix
// of the name is ever used.
nb::object upload_suffix(nb::handle filename) {
  nb::object suffix = ns.module("pathlib").attr("PurePath")(filename).attr("suffix");
  if (!bridge::truthy(suffix)) return nb::str(".png");
  return suffix;
}

// Best effort: the error that made us discard is the one the caller sees.
void discard(nb::handle path) {
  try {
    path.attr("unlink")("missing_ok"_a = true);
  } catch (nb::python_error&) {
  }
}

nb::object save_uploaded_image(nb::handle file_bytes, nb::handle filename) {
  if (!PyBytes_Check(file_bytes.ptr()))
    bridge::refuse("save_uploaded_image", "file_bytes", "bytes", file_bytes);
  bridge::need_text(filename, "save_uploaded_image", "filename");

  nb::object upload_dir = ns.call("_ensure_upload_dir");
  nb::object ext = upload_suffix(filename);
  nb::object hex = ns.module("uuid").attr("uuid4")().attr("hex");
  nb::object first10 = nb::steal(PySlice_New(nullptr, nb::int_(10).ptr(), nullptr));
  if (!first10.is_valid()) throw nb::python_error();
  nb::object stem = nb::steal(PyObject_GetItem(hex.ptr(), first10.ptr()));
  if (!stem.is_valid()) throw nb::python_error();
  nb::str safe_name = nb::str("upload_{}{}").format(stem, ext);
  nb::object target = bridge::join(upload_dir, safe_name);

  // Written under a temporary name beside the target and renamed into place,
  // so a failed write never leaves a partial image under an upload name.
  nb::object partial = bridge::join(upload_dir, nb::str(".{}.part").format(safe_name));
  try {
    partial.attr("write_bytes")(file_bytes);
    ns.module("os").attr("replace")(partial, target);
  } catch (nb::python_error&) {
    discard(partial);
    throw;
  }
  log_.info("Saved uploaded image: %s (%d bytes)", target,
            nb::int_(bridge::bytes_size(file_bytes.ptr())));
  return target;
}

// ---------------------------------------------------------------- base64

// base64.b64decode of the payload: characters outside the alphabet are
// skipped, text that is not ASCII is refused (ValueError), bad padding is a
// binascii.Error.
nb::object decode_base64(nb::handle payload) { return ns.std("base64", "b64decode")(payload); }

const char* extension_for(PyObject* mime) {
  struct Entry {
    const char* mime;
    const char* ext;
  };
  static const Entry table[] = {{"image/png", ".png"},   {"image/jpeg", ".jpg"},
                                {"image/jpg", ".jpg"},   {"image/gif", ".gif"},
                                {"image/webp", ".webp"}};
  for (const Entry& e : table) {
    if (PyUnicode_CompareWithASCIIString(mime, e.mime) == 0) return e.ext;
  }
  return ".png";
}

using bridge::text_has_at;
using bridge::text_slice;

nb::object save_base64_image(nb::handle data_url) {
  bridge::need_text(data_url, "save_base64_image", "data_url");
  PyObject* url = data_url.ptr();
  Py_ssize_t len = bridge::text_length(url);
  Py_ssize_t comma = bridge::text_find_char(url, ',', 0, len);
  nb::object header = comma < 0 ? nb::borrow(data_url) : text_slice(url, 0, comma);
  nb::object payload = comma < 0 ? nb::object(nb::str("")) : text_slice(url, comma + 1, len);

  nb::object mime = nb::str("image/png");
  if (text_has_at(header.ptr(), 0, "data:")) {
    PyObject* h = header.ptr();
    Py_ssize_t hlen = bridge::text_length(h);
    Py_ssize_t semi = bridge::text_find_char(h, ';', 5, hlen);
    nb::object declared = text_slice(h, 5, semi < 0 ? hlen : semi).attr("strip")();
    if (text_has_at(declared.ptr(), 0, "image/")) mime = declared;
  }
  nb::str filename = nb::str("image{}").format(nb::str(extension_for(mime.ptr())));
  nb::object decoded = decode_base64(payload);
  return ns.call("save_uploaded_image", decoded, filename);
}

// ---------------------------------------------------------------- enrichment

nb::object vision_tool() {
  return bridge::import_from("tools.vision_tools", "vision_analyze_tool");
}

nb::object concat(std::initializer_list<nb::handle> pieces) {
  nb::list parts;
  for (nb::handle p : pieces) parts.append(p);
  PyObject* joined = PyUnicode_Join(nb::str("").ptr(), parts.ptr());
  if (!joined) throw nb::python_error();
  return nb::steal(joined);
}

// value.get(key, fallback) for the decoded tool result.
nb::object entry(nb::handle value, const char* key, nb::handle fallback) {
  return bridge::mapping_get_or(value, key, fallback);
}

// Closing a coroutine that never ran keeps the interpreter from warning that
// it was never awaited; a finished one ignores the call.
void close_unstarted(nb::handle awaitable) {
#ifdef Py_LIMITED_API
  static PyObject* coroutine_type =
      nb::object(bridge::import("types").attr("CoroutineType")).release().ptr();  // kept
  if (!Py_IS_TYPE(awaitable.ptr(), reinterpret_cast<PyTypeObject*>(coroutine_type))) return;
#else
  if (!PyCoro_CheckExact(awaitable.ptr())) return;
#endif
  PyObject* r = PyObject_CallMethod(awaitable.ptr(), "close", nullptr);
  if (r) Py_DECREF(r); else PyErr_Clear();
}

// Runs `awaitable` to completion on a loop made for this one call and closed
// afterwards. The loop is never installed as the thread's current loop, so
// whatever loop the calling thread had set stays set. On a thread whose own
// loop is running the private loop refuses to start.
nb::object run_on_private_loop(nb::handle awaitable) {
  nb::object asyncio = ns.module("asyncio");
  nb::object loop;
  try {
    loop = asyncio.attr("new_event_loop")();
  } catch (nb::python_error&) {
    close_unstarted(awaitable);
    throw;
  }
  nb::object result;
  try {
    result = loop.attr("run_until_complete")(awaitable);
    // What the call left behind is finished off as asyncio.run would.
    nb::object left = asyncio.attr("all_tasks")(loop);
    if (nb::len(left) > 0) {
      for (nb::handle task : left) task.attr("cancel")();
      loop.attr("run_until_complete")(asyncio.attr("gather")(*left, "return_exceptions"_a = true));
    }
    loop.attr("run_until_complete")(loop.attr("shutdown_asyncgens")());
  } catch (nb::python_error&) {
    close_unstarted(awaitable);
    try {
      loop.attr("close")();
    } catch (nb::python_error& e) {
      if (!bridge::is_ordinary(e)) throw;
    }
    throw;
  }
  loop.attr("close")();
  return result;
}

// One image's text for the agent; errors reach the caller's guard.
nb::object describe(nb::handle tool, nb::handle path_str) {
  log_.debug("Auto-analyzing user image: %s", path_str);
  nb::object awaitable = tool("image_url"_a = path_str, "user_prompt"_a = nb::str(kVisionPrompt));
  nb::object result = run_on_private_loop(awaitable);

  nb::object decoded =
      PyUnicode_Check(result.ptr()) ? ns.module("json").attr("loads")(result) : nb::dict();
  nb::object success = entry(decoded, "success", nb::none());
  if (bridge::truthy(success)) {
    nb::object analysis = entry(decoded, "analysis", nb::str(""));
    if (!PyUnicode_Check(analysis.ptr())) {
      analysis = nb::steal(PyObject_Str(analysis.ptr()));
      if (!analysis.is_valid()) throw nb::python_error();
    }
    return concat({nb::str(kSeenHead), analysis, nb::str(kSeenPath), path_str,
                   nb::str(kSeenEnd)});
  }
  return concat({nb::str(kUnseenHead), path_str, nb::str(kPathEnd)});
}

nb::object enrich_message_with_images(nb::handle user_text, nb::handle image_paths) {
  bridge::need_text(user_text, "enrich_message_with_images", "user_text");
  nb::list paths = bridge::need_list(image_paths, "enrich_message_with_images", "image_paths");

  nb::object tool = vision_tool();
  nb::list parts;
  for (size_t i = 0; i < nb::len(paths); ++i) {
    nb::object item = paths[i];
    nb::object path_str = nb::steal(PyObject_Str(item.ptr()));
    if (!path_str.is_valid()) throw nb::python_error();
    try {
      parts.append(describe(tool, path_str));
    } catch (nb::python_error& e) {
      if (!bridge::is_ordinary(e)) throw;
      nb::str message = bridge::text_of(e.value());
      // The failing image still gets its text, whatever logging does.
      parts.append(concat({nb::str(kFailedHead), path_str, nb::str(kPathEnd)}));
      log_.error("Vision auto-analysis error: %s", message);
    }
  }
  if (nb::len(parts) == 0) return nb::borrow(user_text);
  PyObject* joined = PyUnicode_Join(nb::str(kGap).ptr(), parts.ptr());
  if (!joined) throw nb::python_error();
  nb::object text = nb::steal(joined);
  if (bridge::text_length(user_text.ptr()) == 0) return text;
  return concat({text, nb::str(kGap), user_text});
}

// ---------------------------------------------------------------- reading back

using bridge::piece_length;

// One image's text found at the front of a message: its path, and where
// what follows it (after its gap) begins. `next` is -1 when there is none.
struct Block {
  Py_ssize_t path_start = 0, path_end = 0, next = -1;
  Py_ssize_t line_end = 0;  // where the path's line ends
};

// The block whose path begins at `path_start`: a path never holds a line
// feed, so the path's line must close with `end`, followed by the gap
// between parts or the end of the message.
Block closing(PyObject* text, Py_ssize_t len, Py_ssize_t path_start, const char* end) {
  Block b;
  b.path_start = path_start;
  b.line_end = bridge::text_line_end(text, path_start, len);
  if (!bridge::text_ends_with(text, path_start, b.line_end, end)) return b;
  b.path_end = b.line_end - piece_length(end);
  if (b.line_end == len)
    b.next = len;
  else if (text_has_at(text, b.line_end, kGap))
    b.next = b.line_end + piece_length(kGap);
  return b;
}

Block block_at(PyObject* text, Py_ssize_t len, Py_ssize_t pos) {
  for (const char* head : {kUnseenHead, kFailedHead})
    if (text_has_at(text, pos, head))
      return closing(text, len, pos + piece_length(head), kPathEnd);
  if (!text_has_at(text, pos, kSeenHead)) return Block{};
  // The analysis may hold anything, line feeds and brackets included: it
  // ends at the first path marker whose line closes the block.
  Py_ssize_t from = pos + piece_length(kSeenHead);
  for (;;) {
    Py_ssize_t marker = bridge::text_find(text, kSeenPath, from);
    if (marker < 0) return Block{};
    Block b = closing(text, len, marker + piece_length(kSeenPath), kSeenEnd);
    if (b.next >= 0) return b;
    // The marker's one line feed is its second character, so no other
    // marker starts inside this line before its last character.
    from = b.line_end - 1;
  }
}

// The inverse of enrich_message_with_images: the image texts at the front
// of `text` taken off, with their paths, in order.
nb::object split_enriched_message(nb::handle text) {
  bridge::need_text(text, "split_enriched_message", "text");
  PyObject* t = text.ptr();
  Py_ssize_t len = bridge::text_length(t);
  nb::list paths;
  Py_ssize_t pos = 0;
  while (pos < len) {
    Block b = block_at(t, len, pos);
    if (b.next < 0) break;
    paths.append(text_slice(t, b.path_start, b.path_end));
    pos = b.next;
  }
  if (pos == 0) return nb::make_tuple(text, paths);
  return nb::make_tuple(text_slice(t, pos, len), paths);
}

}  // namespace

NB_MODULE(picdrop, m) {
  auto init = ns.bind(m);
  ns.import_modules(m, {"asyncio", "base64", "binascii", "json", "logging", "os", "pathlib", "uuid"});
  m.attr("logger") = log_.named();
  m.attr("_UPLOAD_DIR") = bridge::home_join(".korvel", "uploads");

  ns.def(m, "get_upload_dir", &upload_dir, nb::sig("def get_upload_dir() -> pathlib.Path"),
        "The directory uploads are saved in (_UPLOAD_DIR).");
  ns.def(m, "_ensure_upload_dir", &ensure_upload_dir,
        nb::sig("def _ensure_upload_dir() -> pathlib.Path"),
        "Create the upload directory (and its parents) when missing; returns it.");
  ns.def(m, "save_uploaded_image", &save_uploaded_image, "file_bytes"_a.none(), "filename"_a.none(),
        nb::sig("def save_uploaded_image(file_bytes: bytes, filename: str) -> pathlib.Path"),
        "Save an uploaded image under a fresh name in the upload directory.");
  ns.def(m, "save_base64_image", &save_base64_image, "data_url"_a.none(),
        nb::sig("def save_base64_image(data_url: str) -> pathlib.Path"),
        "Decode an image sent as a data URL and save it like an upload.");
  ns.def(m, "enrich_message_with_images", &enrich_message_with_images, "user_text"_a.none(),
        "image_paths"_a.none(),
        nb::sig("def enrich_message_with_images(user_text: str, image_paths: list) -> str"),
        "Put the vision tool's description of each image in front of the user's text.");
  ns.def(m, "split_enriched_message", &split_enriched_message, "text"_a.none(),
        nb::sig("def split_enriched_message(text: str) -> tuple[str, list[str]]"),
        "The user's text and the image paths of a text made by enrich_message_with_images.");
}
