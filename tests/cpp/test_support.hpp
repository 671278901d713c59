#pragma once
// Helpers shared by the C++ tests.

#include <string>
#include <utility>

#include "common/fatal_error.hpp"

namespace glent::test_support {

// Runs `f` and returns the message of the FatalError it throws, or "<no fatal error>".
template <class F>
std::string fatal_message(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const FatalError& e) {
    return e.message();
  }
  return "<no fatal error>";
}

}  // namespace glent::test_support
