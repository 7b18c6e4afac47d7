// The words a user reads when a regular expression does not compile: Chinese for the mistakes
// people make while writing one (a bracket left open or closed twice, a quantifier with nothing
// to repeat, a range or an escape that does not exist), PCRE2's own English words for the rest.
#pragma once

#include <string>

namespace vesprey {

// The message of PCRE2's compile error `code` (UTF-8).
std::string regexErrorText(int code);

}  // namespace vesprey
