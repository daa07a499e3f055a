#include "xml_well_formed.h"

#include <cctype>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace grouptrace::testing {
namespace {

bool isSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}
bool nameStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':';
}
bool nameChar(char c) {
  return nameStart(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '.';
}

// The characters XML 1.0 allows anywhere in a document.
bool xmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Empty when the whole text is UTF-8 as the standard defines it (no overlong
// forms, no surrogates, nothing beyond U+10FFFF) made of XML characters only.
// Written from the bit patterns rather than from ranges of lead bytes, so that
// it does not share its reasoning with the encoder it checks.
std::string encodingProblem(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    const auto lead = static_cast<unsigned char>(text[at]);
    int length = 0;
    std::uint32_t c = 0;
    if ((lead & 0x80) == 0) {
      length = 1;
      c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      c = lead & 0x07;
    } else {
      return "a byte that starts no UTF-8 character at byte " + std::to_string(at);
    }
    if (at + static_cast<std::size_t>(length) > text.size()) {
      return "a UTF-8 character cut short at byte " + std::to_string(at);
    }
    for (int k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[at + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) return "a broken UTF-8 character at byte " + std::to_string(at);
      c = (c << 6) | (next & 0x3F);
    }
    static const std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kShortest[length]) return "an overlong UTF-8 form at byte " + std::to_string(at);
    if (c >= 0xD800 && c <= 0xDFFF) return "a UTF-8 surrogate at byte " + std::to_string(at);
    if (!xmlChar(c)) return "a character XML does not allow at byte " + std::to_string(at);
    at += static_cast<std::size_t>(length);
  }
  return {};
}

}  // namespace

std::string xmlProblem(std::string_view text) {
  if (auto wrong = encodingProblem(text); !wrong.empty()) return wrong;
  std::size_t at = 0;
  auto problem = [&](const std::string& what) { return what + " at byte " + std::to_string(at); };
  auto skipSpaces = [&] {
    while (at < text.size() && isSpace(text[at])) ++at;
  };
  auto name = [&] {
    const std::size_t start = at;
    if (at < text.size() && nameStart(text[at])) {
      while (at < text.size() && nameChar(text[at])) ++at;
    }
    return std::string(text.substr(start, at - start));
  };
  // One character of text or of an attribute value; '<' never reaches here in
  // text, where it starts markup.
  auto character = [&]() -> std::string {
    const char c = text[at];
    if (c == '<') return problem("'<' in an attribute value");
    if (static_cast<unsigned char>(c) < 0x20 && !isSpace(c)) return problem("a control character");
    if (c != '&') {
      ++at;
      return {};
    }
    const std::size_t end = text.find(';', at);
    if (end == std::string_view::npos) return problem("an unterminated entity");
    const std::string_view entity = text.substr(at + 1, end - at - 1);
    static const std::set<std::string_view> kNamed = {"lt", "gt", "amp", "quot", "apos"};
    bool known = kNamed.count(entity) > 0;
    if (!known && entity.size() > 1 && entity[0] == '#') {
      const bool hex = entity[1] == 'x';
      const std::string_view digits = entity.substr(hex ? 2 : 1);
      known = !digits.empty() && digits.size() <= 8;
      std::uint32_t value = 0;
      for (const char d : digits) {
        known = known && (hex ? std::isxdigit(static_cast<unsigned char>(d))
                              : std::isdigit(static_cast<unsigned char>(d))) != 0;
        if (!known) break;
        const int digit = std::isdigit(static_cast<unsigned char>(d))
                              ? d - '0'
                              : std::tolower(static_cast<unsigned char>(d)) - 'a' + 10;
        value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
      }
      // A reference must name a character the document could hold.
      known = known && xmlChar(value);
    }
    if (!known) return problem("an unknown entity &" + std::string(entity) + ";");
    at = end + 1;
    return {};
  };

  skipSpaces();
  if (text.compare(at, 5, "<?xml") == 0) {
    const std::size_t end = text.find("?>", at);
    if (end == std::string_view::npos) return problem("an unterminated declaration");
    at = end + 2;
  }
  std::vector<std::string> open;
  bool rootSeen = false;
  while (at < text.size()) {
    if (text.compare(at, 4, "<!--") == 0) {
      const std::size_t end = text.find("-->", at + 4);
      if (end == std::string_view::npos) return problem("an unterminated comment");
      at = end + 3;
    } else if (text.compare(at, 2, "</") == 0) {
      at += 2;
      const std::string tag = name();
      skipSpaces();
      if (at >= text.size() || text[at] != '>') return problem("a malformed </" + tag + ">");
      if (open.empty() || open.back() != tag) return problem("</" + tag + "> closes nothing open");
      open.pop_back();
      ++at;
    } else if (text[at] == '<') {
      ++at;
      const std::string tag = name();
      if (tag.empty()) return problem("markup that is not a tag");
      if (open.empty() && rootSeen) return problem("a second root element");
      rootSeen = true;
      std::set<std::string> attributes;
      for (;;) {
        const std::size_t before = at;
        skipSpaces();
        if (at >= text.size()) return problem("an unterminated <" + tag + ">");
        if (text.compare(at, 2, "/>") == 0) {
          at += 2;
          break;
        }
        if (text[at] == '>') {
          ++at;
          open.push_back(tag);
          break;
        }
        const std::string attribute = at == before ? "" : name();
        if (attribute.empty()) return problem("a malformed attribute in <" + tag + ">");
        if (!attributes.insert(attribute).second) return problem(attribute + " given twice");
        skipSpaces();
        if (at >= text.size() || text[at] != '=') return problem(attribute + " without a value");
        ++at;
        skipSpaces();
        if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) {
          return problem(attribute + " not quoted");
        }
        const char quote = text[at++];
        while (at < text.size() && text[at] != quote) {
          if (auto wrong = character(); !wrong.empty()) return wrong;
        }
        if (at >= text.size()) return problem("an unterminated value of " + attribute);
        ++at;
      }
    } else if (open.empty()) {
      if (!isSpace(text[at])) return problem("text outside the root element");
      ++at;
    } else if (auto wrong = character(); !wrong.empty()) {
      return wrong;
    }
  }
  if (!rootSeen) return problem("no root element");
  if (!open.empty()) return problem("<" + open.back() + "> never closed");
  return {};
}

}  // namespace grouptrace::testing
