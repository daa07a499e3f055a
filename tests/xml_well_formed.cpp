#include "xml_well_formed.h"

#include <cctype>
#include <set>
#include <vector>

namespace grouptrace::testing {
namespace {

class Checker {
 public:
  explicit Checker(std::string_view text) : text_(text) {}

  std::string run() {
    skipProlog();
    bool rootSeen = false;
    while (at_ < text_.size()) {
      if (text_.compare(at_, 4, "<!--") == 0) {
        if (!comment()) return problem_;
        continue;
      }
      if (text_[at_] == '<') {
        if (text_.compare(at_, 2, "</") == 0) {
          if (!closeTag()) return problem_;
        } else if (text_.compare(at_, 2, "<?") == 0 || text_.compare(at_, 2, "<!") == 0) {
          return fail("declaration inside the document");
        } else {
          if (open_.empty() && rootSeen) return fail("a second root element");
          rootSeen = true;
          if (!openTag()) return problem_;
        }
        continue;
      }
      if (open_.empty()) {
        if (!std::isspace(static_cast<unsigned char>(text_[at_]))) {
          return fail("text outside the root element");
        }
        ++at_;
        continue;
      }
      if (!character()) return problem_;
    }
    if (!rootSeen) return fail("no root element");
    if (!open_.empty()) return fail("<" + open_.back() + "> is never closed");
    return {};
  }

 private:
  std::string fail(const std::string& what) {
    problem_ = what + " at byte " + std::to_string(at_);
    return problem_;
  }

  void skipProlog() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    if (text_.compare(at_, 5, "<?xml") == 0) {
      const auto end = text_.find("?>", at_);
      at_ = end == std::string_view::npos ? text_.size() : end + 2;
    }
  }

  bool comment() {
    const auto end = text_.find("-->", at_ + 4);
    if (end == std::string_view::npos) {
      fail("unterminated comment");
      return false;
    }
    at_ = end + 3;
    return true;
  }

  static bool nameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
           c == ':';
  }

  std::string name() {
    const std::size_t start = at_;
    if (at_ < text_.size() && (std::isalpha(static_cast<unsigned char>(text_[at_])) ||
                               text_[at_] == '_' || text_[at_] == ':')) {
      while (at_ < text_.size() && nameChar(text_[at_])) ++at_;
    }
    return std::string(text_.substr(start, at_ - start));
  }

  void spaces() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }

  // One character of an attribute value or of text (where '<' never gets
  // here: it starts markup), entities included.
  bool character() {
    const char c = text_[at_];
    if (c == '<') {
      fail("'<' inside an attribute value");
      return false;
    }
    if (c == '&') {
      const auto end = text_.find(';', at_);
      if (end == std::string_view::npos) {
        fail("unterminated entity");
        return false;
      }
      const std::string_view entity = text_.substr(at_ + 1, end - at_ - 1);
      static const std::set<std::string_view> kKnown = {"lt", "gt", "amp", "quot", "apos"};
      bool ok = kKnown.count(entity) > 0;
      if (!ok && entity.size() > 1 && entity[0] == '#') {
        const bool hex = entity[1] == 'x';
        const std::string_view digits = entity.substr(hex ? 2 : 1);
        ok = !digits.empty();
        for (const char d : digits) {
          ok = ok && (hex ? std::isxdigit(static_cast<unsigned char>(d)) != 0
                          : std::isdigit(static_cast<unsigned char>(d)) != 0);
        }
      }
      if (!ok) {
        fail("unknown entity &" + std::string(entity) + ";");
        return false;
      }
      at_ = end + 1;
      return true;
    }
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 && c != '\n' && c != '\r' && c != '\t') {
      fail("a control character");
      return false;
    }
    ++at_;
    return true;
  }

  bool openTag() {
    ++at_;
    const std::string tag = name();
    if (tag.empty()) {
      fail("a tag without a name");
      return false;
    }
    std::set<std::string> attributes;
    for (;;) {
      const std::size_t before = at_;
      spaces();
      if (at_ >= text_.size()) {
        fail("unterminated tag <" + tag + ">");
        return false;
      }
      if (text_.compare(at_, 2, "/>") == 0) {
        at_ += 2;
        return true;
      }
      if (text_[at_] == '>') {
        ++at_;
        open_.push_back(tag);
        return true;
      }
      if (at_ == before) {
        fail("attributes of <" + tag + "> not separated by blanks");
        return false;
      }
      const std::string attribute = name();
      if (attribute.empty()) {
        fail("a malformed attribute in <" + tag + ">");
        return false;
      }
      if (!attributes.insert(attribute).second) {
        fail("attribute " + attribute + " twice in <" + tag + ">");
        return false;
      }
      spaces();
      if (at_ >= text_.size() || text_[at_] != '=') {
        fail("attribute " + attribute + " without a value");
        return false;
      }
      ++at_;
      spaces();
      if (at_ >= text_.size() || (text_[at_] != '"' && text_[at_] != '\'')) {
        fail("attribute " + attribute + " value not quoted");
        return false;
      }
      const char quote = text_[at_++];
      while (at_ < text_.size() && text_[at_] != quote) {
        if (!character()) return false;
      }
      if (at_ >= text_.size()) {
        fail("unterminated value of attribute " + attribute);
        return false;
      }
      ++at_;
    }
  }

  bool closeTag() {
    at_ += 2;
    const std::string tag = name();
    spaces();
    if (at_ >= text_.size() || text_[at_] != '>') {
      fail("malformed closing tag </" + tag + ">");
      return false;
    }
    ++at_;
    if (open_.empty() || open_.back() != tag) {
      fail("</" + tag + "> does not close " +
           (open_.empty() ? "anything" : "<" + open_.back() + ">"));
      return false;
    }
    open_.pop_back();
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::vector<std::string> open_;
  std::string problem_;
};

}  // namespace

std::string xmlProblem(std::string_view text) {
  return Checker(text).run();
}

}  // namespace grouptrace::testing
