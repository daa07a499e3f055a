#include "xml_well_formed.h"

#include <cctype>
#include <set>
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

}  // namespace

std::string xmlProblem(std::string_view text) {
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
      known = !digits.empty();
      for (const char d : digits) {
        known = known && (hex ? std::isxdigit(static_cast<unsigned char>(d))
                              : std::isdigit(static_cast<unsigned char>(d))) != 0;
      }
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
