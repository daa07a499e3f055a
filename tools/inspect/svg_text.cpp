#include "svg_text.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace grouptrace {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kEllipsis = 0x2026;

// Advances of DejaVu Sans for ' ' .. '~', in 1/2048 em.
constexpr std::array<std::uint16_t, 95> kAsciiAdvance = {
    651,  821,  942,  1716, 1303, 1946, 1597, 563,  799,  799,  1024, 1716, 651,  739,  651,  690,
    1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 690,  690,  1716, 1716, 1716, 1087,
    2048, 1401, 1405, 1430, 1577, 1294, 1178, 1587, 1540, 604,  604,  1343, 1141, 1767, 1532, 1612,
    1235, 1612, 1423, 1300, 1251, 1499, 1401, 2025, 1403, 1251, 1403, 799,  690,  799,  1716, 1024,
    1024, 1255, 1300, 1126, 1300, 1260, 721,  1300, 1298, 569,  569,  1186, 569,  1995, 1298, 1253,
    1300, 1300, 842,  1067, 803,  1298, 1212, 1675, 1212, 1212, 1075, 1303, 690,  1303, 1716};

// The bytes that follow `lead` in a well-formed sequence, and the range the
// first of them must lie in (which excludes overlong forms, surrogates and
// values beyond U+10FFFF); 0 for a byte that cannot lead.
struct Lead {
  int following;
  unsigned char low;
  unsigned char high;
};

Lead leadOf(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {1, 0x80, 0xBF};
  if (lead == 0xE0) return {2, 0xA0, 0xBF};
  if (lead == 0xED) return {2, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {2, 0x80, 0xBF};
  if (lead == 0xF0) return {3, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {3, 0x80, 0xBF};
  if (lead == 0xF4) return {3, 0x80, 0x8F};
  return {0, 0, 0};
}

char32_t allowedInXml(char32_t c) {
  if (c == '\t' || c == '\n' || c == '\r') return ' ';
  // C0 controls are not XML characters at all; DEL and the C1 controls are
  // allowed but discouraged, and show as nothing useful.
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return kReplacement;
  if (c == 0xFFFE || c == 0xFFFF) return kReplacement;
  return c;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

double advance(char32_t c) {
  if (c >= ' ' && c <= '~') return kAsciiAdvance[c - ' '] / 2048.0;
  // Ideographs, Hangul and most symbols beyond are square; the rest of the
  // alphabets are about as wide as capitals.
  return c >= 0x1100 ? 1.0 : 0.75;
}

}  // namespace

std::u32string xmlCharacters(std::string_view bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) {
      out += allowedInXml(lead);
      ++at;
      continue;
    }
    const Lead form = leadOf(lead);
    // A broken sequence is replaced once, up to the byte that breaks it, so
    // that the next character is read from that byte on.
    std::size_t end = at + 1;
    char32_t c = lead & (0x3F >> form.following);
    bool whole = form.following > 0;
    for (int k = 0; whole && k < form.following; ++k, ++end) {
      if (end >= bytes.size()) {
        whole = false;
        break;
      }
      const auto next = static_cast<unsigned char>(bytes[end]);
      const unsigned char low = k == 0 ? form.low : 0x80;
      const unsigned char high = k == 0 ? form.high : 0xBF;
      if (next < low || next > high) {
        whole = false;
        break;
      }
      c = (c << 6) | (next & 0x3F);
    }
    out += whole ? allowedInXml(c) : kReplacement;
    at = end;
  }
  return out;
}

std::string xmlEscaped(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char32_t c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        appendUtf8(out, c);
        break;
    }
  }
  return out;
}

double textWidth(std::u32string_view text, double fontSize) {
  double em = 0;
  for (const char32_t c : text) em += advance(c);
  return em * fontSize * 1.04;
}

std::u32string fitted(std::u32string text, double width, double fontSize, bool keepEnd) {
  if (textWidth(text, fontSize) <= width) return text;
  // Widths add up character by character, so the kept part grows from its
  // side until one more character would not leave room for the ellipsis.
  const double room = width - textWidth(std::u32string(1, kEllipsis), fontSize);
  double used = 0;
  std::size_t kept = 0;
  while (kept < text.size()) {
    const char32_t next = keepEnd ? text[text.size() - 1 - kept] : text[kept];
    const double w = textWidth(std::u32string_view(&next, 1), fontSize);
    if (used + w > room) break;
    used += w;
    ++kept;
  }
  if (keepEnd) return kEllipsis + text.substr(text.size() - kept);
  return text.substr(0, kept) + kEllipsis;
}

}  // namespace grouptrace
