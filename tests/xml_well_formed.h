#pragma once

#include <string>
#include <string_view>

namespace grouptrace::testing {

// Empty when the text is a well-formed XML document (one root element, tags
// nested and closed, attributes quoted and unique, entities known or numeric,
// no markup characters loose in text), else what is wrong and where. It does
// not validate against any schema: it answers whether an XML parser would
// accept the document at all.
std::string xmlProblem(std::string_view text);

}  // namespace grouptrace::testing
