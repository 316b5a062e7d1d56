// Internationalised domain names through GNU libidn.
#pragma once

#include <string>

namespace idn {
// Unicode (UTF-8) to the ASCII-compatible form.
std::string toAscii(const std::string& input, bool allowUnassigned, bool useStd3AsciiRules);
// ASCII-compatible form to Unicode (UTF-8).
std::string toUtf8(const std::string& input, bool allowUnassigned, bool useStd3AsciiRules);

// The same conversions into libidn's own result block, which comes from the
// C runtime's malloc: the exports return it as it is, without a copy.
char* toAsciiBlock(const char* input, bool allowUnassigned, bool useStd3AsciiRules);
char* toUtf8Block(const char* input, bool allowUnassigned, bool useStd3AsciiRules);
}  // namespace idn
