#include "manifest.h"

namespace grouptrace {
namespace {

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0:
// no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8Length(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // bounds of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  }
  return length;
}

}  // namespace

std::string jsonString(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text[0]);
    std::size_t length = 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xf];
        } else if ((length = utf8Length(text)) != 0) {
          out.append(text.data(), length);
        } else {
          out += "\\ufffd";
          length = 1;
        }
    }
    text.remove_prefix(length);
  }
  return out + "\"";
}

std::string manifestJson(const Manifest& m) {
  const auto field = [](std::string_view name, const std::string& value) {
    return "  " + jsonString(name) + ": " + value + ",\n";
  };
  std::string out = "{\n";
  out += field("version", jsonString(m.version));
  out += field("seed", std::to_string(m.seed));
  out += "  \"parameters\": {\n";
  for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
    out += "    " + jsonString(kParameterNames[i]) + ": " +
           std::to_string(parameterAt(m.parameters, i)) +
           (i + 1 < kParameterNames.size() ? ",\n" : "\n");
  }
  out += "  },\n";
  out += field("status", jsonString(m.run.status == RunStatus::stalled ? "stalled" : "complete"));
  out += field("trans", std::to_string(m.run.trans));
  out += field("joins", std::to_string(m.run.joins));
  out += field("leaves", std::to_string(m.run.leaves));
  out += field("requests", std::to_string(m.run.joins + m.run.leaves));
  out += field("bytes", std::to_string(m.bytes));
  out += field("output", m.output ? jsonString(*m.output) : "null");
  out += "  \"format\": " + jsonString(formatName(m.format));
  // Only when given, so that every other manifest stays as it was.
  if (m.legacyNumbers) out += ",\n  \"legacyNumbers\": true";
  out += "\n}\n";
  return out;
}

}  // namespace grouptrace
