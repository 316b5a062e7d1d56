// Internationalised domain names through GNU libidn.
#pragma once

#include <string>

namespace idn {
// Unicode (UTF-8) to the ASCII-compatible form.
std::string toAscii(const std::string& input, bool allowUnassigned, bool useStd3AsciiRules);
// ASCII-compatible form to Unicode (UTF-8).
std::string toUtf8(const std::string& input, bool allowUnassigned, bool useStd3AsciiRules);
}  // namespace idn
