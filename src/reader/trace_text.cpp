#include "trace_text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace grouptrace::trace_text {

std::optional<std::int64_t> parseInteger(std::string_view text) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string_view digits = negative ? text.substr(1) : text;
  if (digits.empty() || digits.size() > 19) return std::nullopt;
  if (digits[0] == '0' && (digits.size() > 1 || negative)) return std::nullopt;
  // Accumulated negatively so that the most negative value fits too.
  std::int64_t value = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const int d = c - '0';
    if (value < (kMin + d) / 10) return std::nullopt;
    value = value * 10 - d;
  }
  if (negative) return value;
  if (value == kMin) return std::nullopt;
  return -value;
}

std::optional<double> parseWholeReal(std::string_view text) {
  if (text.find('e') == std::string_view::npos) {
    const auto value = parseInteger(text);
    if (!value || *value <= -1000000 || *value >= 1000000) return std::nullopt;
    return static_cast<double>(*value);
  }
  double value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value, std::chars_format::scientific);
  if (ec != std::errc() || stop != end || !std::isfinite(value)) return std::nullopt;
  if (value != std::trunc(value) || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  // Only the writer's own spelling of this value is accepted (1e+06, not 1.0e6).
  char canonical[32];
  const auto written =
      std::to_chars(canonical, canonical + sizeof canonical, value, std::chars_format::general, 6);
  if (std::string_view(canonical, static_cast<std::size_t>(written.ptr - canonical)) != text) {
    return std::nullopt;
  }
  return value;
}

std::optional<double> parseReal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  double value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  if (stop != end || ec == std::errc::invalid_argument) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // Too large reads as the infinity it tends to; too small is refused, as
    // no writer gives a value below the smallest double.
    const auto e = text.find_first_of("eE");
    if (e != std::string_view::npos && text[e + 1] == '-') return std::nullopt;
    return text[0] == '-' ? -std::numeric_limits<double>::infinity()
                          : std::numeric_limits<double>::infinity();
  }
  return value;
}

std::string quote(std::string_view text) {
  constexpr std::size_t kShown = 72;
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > kShown) out += "...";
  return out + "\"";
}

}  // namespace grouptrace::trace_text
