#pragma once
// Internal failures of the native code.
//
// A violated internal check never aborts the process: it throws FatalError, which carries the
// message, the source location and the name of the thread it happened on. The Python boundary
// is the only place that catches it; it writes a one-line diagnostic to stderr and raises the
// module's fatal-error exception. Worker threads capture it and hand it back to the caller.

#include <exception>
#include <string>

namespace glent {

class FatalError : public std::exception {
 public:
  FatalError(std::string message, const char* file, int line);

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const char* file() const noexcept { return file_; }
  int line() const noexcept { return line_; }
  const std::string& thread_name() const noexcept { return thread_name_; }

  // "glent: fatal error in thread 'name' at file:line: message", the line written to stderr
  // before raising into Python.
  std::string diagnostic() const;

 private:
  std::string message_;
  const char* file_;
  int line_;
  std::string thread_name_;
};

// Names the calling thread in fatal-error diagnostics ("main" unless set; workers set their own).
void set_current_thread_name(std::string name);
const std::string& current_thread_name();

[[noreturn]] void throw_fatal(std::string message, const char* file, int line);

}  // namespace glent

#define GLENT_FATAL(message) ::glent::throw_fatal((message), __FILE__, __LINE__)

// Checks an internal invariant; on failure throws FatalError with the given message.
#define GLENT_CHECK(condition, message)  \
  do {                                   \
    if (!(condition)) [[unlikely]] {     \
      GLENT_FATAL(message);              \
    }                                    \
  } while (false)
