#pragma once
// Names for the cases of parameterised tests, built from their parameters, so that a test list
// and a failure read "20x20_at_1p49_10_outside" instead of the bytes of the case. GoogleTest
// accepts letters, digits and underscores only: a value is spelled with 'p' for the decimal
// point and "minus" for the sign; other characters are spelled out or given as hex.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace glent::test_support {

// Text as a name part: letters and digits kept, a few characters spelled out.
inline std::string name_part(std::string_view text) {
  if (text.empty()) return "empty";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      out += ch;
    } else if (ch == '-') {
      out += "minus";
    } else if (ch == '+') {
      out += "plus";
    } else if (ch == '.') {
      out += 'p';
    } else if (ch == ' ') {
      out += "_space_";
    } else if (ch == '\n') {
      out += "_newline";
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "_x%02X_", c);
      out += hex;
    }
  }
  return out;
}

// The shortest decimal that reads back as the same value, so neighbouring floats get
// different names: 1e6f is "1e06", the next float up "1000000p06".
template <class Float>
std::string float_name_part(Float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "minus_inf";
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  std::string digits(text, result.ptr);
  if (const auto plus = digits.find('+'); plus != std::string::npos) digits.erase(plus, 1);
  return name_part(digits);
}

inline std::string name_part(float value) { return float_name_part(value); }
inline std::string name_part(double value) { return float_name_part(value); }
inline std::string name_part(std::uint32_t value) { return std::to_string(value); }

}  // namespace glent::test_support
