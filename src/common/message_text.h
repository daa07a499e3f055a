#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace grouptrace {

// What a message shows of text that came from outside (a value, an argument,
// a line of a file): at most `limit` bytes, then "...", with every byte other
// than printable ASCII written as \xNN, so that a control character, a
// byte-order mark or a byte of another encoding is seen for what it is and the
// message stays one readable line. A quote or a backslash gets a backslash, so
// that the text cannot end the quotes a message puts around it, nor pass for
// one of the escapes.
inline std::string shownText(std::string_view text, std::size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : text.substr(0, limit)) {
    if (c < 0x20 || c >= 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      if (c == '"' || c == '\\') out += '\\';
      out += static_cast<char>(c);
    }
  }
  if (text.size() > limit) out += "...";
  return out;
}

// The same in double quotes: how a message names a value it refuses.
inline std::string quotedText(std::string_view text, std::size_t limit = 72) {
  std::string out(1, '"');
  out += shownText(text, limit);
  out += '"';
  return out;
}

// A file name in a message: whole, since a name cut short could be another
// file's, and escaped as above, since a name can hold any byte but '/' and NUL.
inline std::string shownPath(std::string_view path) {
  return shownText(path, path.size());
}

}  // namespace grouptrace
