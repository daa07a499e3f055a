#include "json_reader.h"

#include <cstdlib>
#include <stdexcept>

namespace grouptrace::testing {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  JsonValue document() {
    JsonValue v = value();
    if (skipBlanks() != '\0') fail("text after the document");
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("JSON offset " + std::to_string(at_) + ": " + what);
  }
  char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  char skipBlanks() {
    while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') ++at_;
    return peek();
  }
  void expect(char c) {
    if (skipBlanks() != c) fail(std::string("expected ") + c);
    ++at_;
  }

  JsonValue value() {
    JsonValue v;
    const char c = skipBlanks();
    if (c == '{') {
      v.kind = JsonValue::Kind::object;
      ++at_;
      if (skipBlanks() == '}') return ++at_, v;
      do {
        std::string name = (skipBlanks(), string());
        for (const auto& member : v.members) {
          if (member.first == name) fail("duplicate member " + name);
        }
        expect(':');
        v.members.emplace_back(std::move(name), value());
      } while (skipBlanks() == ',' && ++at_);
      expect('}');
    } else if (c == '"') {
      v.kind = JsonValue::Kind::string;
      v.text = string();
    } else if (text_.substr(at_, 4) == "null") {
      at_ += 4;
    } else if (text_.substr(at_, 4) == "true" || text_.substr(at_, 5) == "false") {
      v.kind = JsonValue::Kind::boolean;
      v.text = text_[at_] == 't' ? "true" : "false";
      at_ += v.text.size();
    } else {
      // -?(0|[1-9][0-9]*) is all the program writes.
      v.kind = JsonValue::Kind::number;
      const std::size_t start = at_;
      if (peek() == '-') ++at_;
      if (peek() == '0') {
        ++at_;
      } else {
        if (peek() < '1' || peek() > '9') fail("expected a value");
        while (peek() >= '0' && peek() <= '9') ++at_;
      }
      v.text = text_.substr(start, at_ - start);
    }
    return v;
  }

  std::string string() {
    if (peek() != '"') fail("expected a string");
    ++at_;
    std::string out;
    for (;;) {
      if (at_ >= text_.size()) fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"') return out;
      if (c < 0x20) fail("raw control character in a string");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      const char e = peek();
      ++at_;
      const std::string_view simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
      if (const auto k = simple.find(e); k != std::string_view::npos && e != '\0') {
        out += meaning[k];
      } else if (e == 'u') {
        // The program never writes surrogates: one escape, one character.
        const std::string hex(text_.substr(at_, 4));
        char* end = nullptr;
        const unsigned long code = std::strtoul(hex.c_str(), &end, 16);
        if (hex.size() != 4 || *end != '\0' || (code >= 0xd800 && code < 0xe000))
          fail("bad \\u escape");
        at_ += 4;
        if (code < 0x80) {
          out += static_cast<char>(code);
        } else if (code < 0x800) {
          out += static_cast<char>(0xc0 | (code >> 6));
          out += static_cast<char>(0x80 | (code & 0x3f));
        } else {
          out += static_cast<char>(0xe0 | (code >> 12));
          out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
          out += static_cast<char>(0x80 | (code & 0x3f));
        }
      } else {
        fail("bad escape");
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

const JsonValue& JsonValue::operator[](std::string_view name) const {
  for (const auto& member : members) {
    if (member.first == name) return member.second;
  }
  throw std::runtime_error("no member " + std::string(name));
}

bool JsonValue::has(std::string_view name) const {
  for (const auto& member : members) {
    if (member.first == name) return true;
  }
  return false;
}

long long JsonValue::integer() const {
  if (kind != Kind::number) throw std::runtime_error("not a number: " + text);
  return std::stoll(text);
}

JsonValue parseJson(std::string_view text) {
  return Parser(text).document();
}

}  // namespace grouptrace::testing
