#include "trace_text.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "common/number_text.h"

namespace grouptrace::trace_text {

std::optional<double> parseWholeReal(std::string_view text) {
  if (text.find('e') == std::string_view::npos) {
    const auto value = parseInteger(text, IntegerForm::canonical);
    if (!value || *value <= -1000000 || *value >= 1000000) return std::nullopt;
    return static_cast<double>(*value);
  }
  double value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value, std::chars_format::scientific);
  if (ec != std::errc() || stop != end || !std::isfinite(value)) return std::nullopt;
  if (value != std::trunc(value) || value < kInt32Min || value > kInt32Max) {
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
