#include "common/message_text.h"

#include <gtest/gtest.h>

#include <string>

namespace grouptrace {
namespace {

// Text from outside reaches a message on one line, cannot close the quotes
// around it, and shows every byte it holds.
TEST(MessageText, OutsideTextIsShownOnOneLineAndCannotEndItsQuotes) {
  struct Case {
    std::string text;
    std::size_t limit;
    const char* quoted;
  };
  const Case cases[] = {
      {"plain", 40, R"("plain")"},
      {"a\"b", 40, R"("a\"b")"},
      {"a\\x41", 40, R"("a\\x41")"},
      {"line\nnext\r\t", 40, R"("line\x0anext\x0d\x09")"},
      {std::string("nul\0", 4) + "\x7f", 40, R"("nul\x00\x7f")"},
      {"\xef\xbb\xbf"
       "bom",
       40, R"("\xef\xbb\xbfbom")"},
      {"abcdef", 3, R"("abc...")"},
      {"abc", 3, R"("abc")"},
  };
  for (const Case& c : cases) {
    const std::string quoted = quotedText(c.text, c.limit);
    EXPECT_EQ(quoted, c.quoted);
    EXPECT_EQ(shownText(c.text, c.limit), quoted.substr(1, quoted.size() - 2));
  }
  EXPECT_EQ(shownPath(std::string(100, 'x')), std::string(100, 'x')) << "a path is never cut";
}

}  // namespace
}  // namespace grouptrace
