#pragma once
// JSON string literals for the program's JSON output (command line, flash log): always valid
// UTF-8, whatever bytes a device or a file name brings.

#include <string>
#include <string_view>

namespace vumo::text {

// A JSON string literal for `text`, quotes included; invalid UTF-8 becomes U+FFFD.
std::string JsonString(std::string_view text);

}  // namespace vumo::text
