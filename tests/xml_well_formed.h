#pragma once

#include <string>
#include <string_view>

namespace grouptrace::testing {

// Empty when the text is a well-formed XML document in UTF-8 (valid UTF-8
// throughout, only characters XML 1.0 allows, one root element, tags nested
// and closed, attributes quoted and unique, entities known or numeric
// references to allowed characters, no markup characters loose in text),
// else what is wrong and where. It does not validate against any schema: it
// answers whether an XML parser would accept the document at all.
std::string xmlProblem(std::string_view text);

}  // namespace grouptrace::testing
