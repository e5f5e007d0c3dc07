#include "common/float_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace korvex {

std::string positional_digits(std::string_view sci) {
  std::string out;
  std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos))
    if (c != '.') digits += c;
  int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

  // The point stands after `int_digits` digits of the string.
  long int_digits = static_cast<long>(exponent) + 1;
  long n = static_cast<long>(digits.size());
  if (int_digits >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(int_digits - n), '0');
  } else if (int_digits > 0) {
    out.append(digits, 0, static_cast<std::size_t>(int_digits));
    out += '.';
    out.append(digits, static_cast<std::size_t>(int_digits));
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-int_digits), '0');
    out += digits;
  }
  return out;
}

std::string f32_display(float v) {
  if (std::isnan(v)) return "NaN";
  std::string out = std::signbit(v) ? "-" : "";
  if (std::isinf(v)) return out + "inf";

  // The scientific form of to_chars carries the shortest round-trip digits: "d.ddde±xx".
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  out += positional_digits(sci);
  return out;
}

}  // namespace korvex
