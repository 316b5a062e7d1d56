// Path names as plain wide strings: joining, splitting, trimming and the
// canonical form, over the shell path functions; and the product's own
// directories, named by the management service.
#pragma once

#include <string>

#include "runtime/pathtext.h"

namespace VFileName {
// dir joined with fileName; leading separators of fileName and trailing ones
// of dir are trimmed first, so "\sub" lands under dir. "." and ".." resolve.
std::wstring combine(const std::wstring& dir, const std::wstring& fileName);
// The drive root or UNC share of the path.
std::wstring root(const std::wstring& path);
// From the last dot of the last component ("" when there is none).
std::wstring extension(const std::wstring& path);
// The last component.
std::wstring fileName(const std::wstring& path);
std::wstring removeExtension(const std::wstring& path);
// The path without its last component.
std::wstring parent(const std::wstring& path);
// Without any trailing run of '\' and '/'.
std::wstring trimTrailingSeparators(const std::wstring& path);
// Without any leading run of '\' and '/'.
std::wstring trimLeadingSeparators(const std::wstring& path);
bool isPrefix(const std::wstring& prefix, const std::wstring& path);
// Drops one trailing '\', or else one trailing "\.".
std::wstring stripTrailingBackslash(const std::wstring& path);
// Forward slashes to backslashes, "." dropped, ".." resolved where it can be,
// runs of separators collapsed; a "\\?\" or "\\.\" prefix and one leading
// and one trailing backslash are kept.
std::wstring normalize(const std::wstring& path);
}  // namespace VFileName

// A directory setting of the management service, normalised, without
// trailing separators.
std::wstring productDir(const std::wstring& name);
// productDir("PRODUCT_ROOT_D"), asked once per process.
std::wstring productRootDir();
// The "admin" directory under the product root.
std::wstring productAdminDir();
