#pragma once

#include <string>
#include <string_view>

namespace grouptrace {

// Text that comes from outside the program (a file name, a title typed on the
// command line) on its way into an SVG document, which declares UTF-8 and is
// read by XML parsers that refuse a document over one bad byte.

// The bytes as characters XML 1.0 allows: a byte that does not start a valid
// UTF-8 sequence (overlong forms and surrogates included) becomes U+FFFD, as
// do control characters and the noncharacters U+FFFE and U+FFFF; tabs and
// line breaks become spaces, since a text element shows them as such anyway.
std::u32string xmlCharacters(std::string_view bytes);

// UTF-8 with the five markup characters written as entities: safe inside an
// element and inside a quoted attribute value.
std::string xmlEscaped(std::u32string_view text);

// Both of the above.
inline std::string xmlText(std::string_view bytes) {
  return xmlEscaped(xmlCharacters(bytes));
}

// About how wide the text is drawn at the given font size, in the same units:
// the advances of DejaVu Sans, slightly generous, so that text laid out by
// this estimate does not run into its neighbours. Wider fallback fonts are
// rare; narrower ones only leave more room.
double textWidth(std::u32string_view text, double fontSize);
inline double textWidth(std::string_view ascii, double fontSize) {
  return textWidth(xmlCharacters(ascii), fontSize);
}

// The text, shortened with an ellipsis until it fits the width: its end is
// kept when `keepEnd` (a path names the file last), else its start.
std::u32string fitted(std::u32string text, double width, double fontSize, bool keepEnd);

}  // namespace grouptrace
