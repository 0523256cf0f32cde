// Python logging with printf-style format strings and separate arguments:
// getLogger(name).<level>(fmt, *args). The logger object is fetched once;
// logging.getLogger returns the same object for a name for the process's life.
#pragma once

#include "core/py.hpp"

namespace bridge {

class Logger {
 public:
  explicit Logger(const char* name) : name_(name) {}

  template <typename... Args> void debug(const char* fmt, Args&&... a) {
    emit("debug", fmt, std::forward<Args>(a)...);
  }
  template <typename... Args> void info(const char* fmt, Args&&... a) {
    emit("info", fmt, std::forward<Args>(a)...);
  }
  template <typename... Args> void warning(const char* fmt, Args&&... a) {
    emit("warning", fmt, std::forward<Args>(a)...);
  }
  template <typename... Args> void error(const char* fmt, Args&&... a) {
    emit("error", fmt, std::forward<Args>(a)...);
  }

  nb::handle logger() {
    if (!logger_) logger_ = stdlib("logging", "getLogger")(name_).release().ptr();
    return logger_;
  }

 private:
  template <typename... Args> void emit(const char* level, const char* fmt, Args&&... a) {
    logger().attr(level)(nb::str(fmt), std::forward<Args>(a)...);
  }

  const char* name_;
  PyObject* logger_ = nullptr;  // kept for the life of the process
};

// print(text) to the sys.stdout of the moment.
inline void print_line(nb::handle text) {
  nb::object print = nb::borrow(PyEval_GetBuiltins()).attr("__getitem__")("print");
  print(text);
}

}  // namespace bridge
