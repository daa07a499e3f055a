#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace grouptrace {

// Words of `text` on lines of at most `width` characters, every line after the
// first indented by `indent` blanks.
inline std::string wrapped(std::string_view text, std::size_t width, std::size_t indent) {
  std::string out;
  std::size_t column = 0;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (column > 0 && column + 1 + word.size() > width) {
      out += '\n';
      out.append(indent, ' ');
      column = 0;
    } else if (column > 0) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
  }
  return out;
}

}  // namespace grouptrace
