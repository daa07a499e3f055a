#include "seed_argument.h"

#include "common/number_text.h"

namespace grouptrace {

std::optional<SEED_type> parseSeedArgument(const char* text) {
  const auto value = parseInteger(text, IntegerForm::leading, kInt32Min, kInt32Max);
  if (!value) return std::nullopt;
  return static_cast<SEED_type>(*value);
}

}  // namespace grouptrace
