// Path-name operations on plain wide strings.
#pragma once

#include <string>

namespace VFileName {
// Replaces %NAME% references from the process environment.
std::wstring expandEnvironmentStrings(const std::wstring& text);
}  // namespace VFileName
