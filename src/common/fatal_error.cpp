#include "common/fatal_error.hpp"

#include <utility>

namespace glent {

namespace {
thread_local std::string t_thread_name = "main";
}  // namespace

void set_current_thread_name(std::string name) { t_thread_name = std::move(name); }

const std::string& current_thread_name() { return t_thread_name; }

FatalError::FatalError(std::string message, const char* file, int line)
    : message_(std::move(message)), file_(file), line_(line), thread_name_(current_thread_name()) {}

std::string FatalError::diagnostic() const {
  return "glent: fatal error in thread '" + thread_name_ + "' at " + file_ + ":" +
         std::to_string(line_) + ": " + message_;
}

void throw_fatal(std::string message, const char* file, int line) {
  throw FatalError(std::move(message), file, line);
}

}  // namespace glent
