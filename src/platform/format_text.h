// printf-style text of any length: messages with advice spliced in run
// long, so the text is measured first and never cut.
#pragma once

#include <string>

namespace kv {

std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kv
