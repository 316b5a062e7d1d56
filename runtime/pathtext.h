// The path-name operations that layers below the file system need: the
// registry expands REG_EXPAND_SZ values, the security code names objects
// without their long-path prefix. The rest of VFileName is in fs/filename.h.
#pragma once

#include <string>

namespace VFileName {
// Replaces %NAME% references from the process environment.
std::wstring expandEnvironmentStrings(const std::wstring& text);
// The path without a leading "\\?\" (exactly at position 0).
std::wstring stripLongPathPrefix(const std::wstring& path);
}  // namespace VFileName
