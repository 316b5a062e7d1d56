#include "runtime/pathtext.h"

#include <windows.h>

#include <vector>

#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace VFileName {

std::wstring expandEnvironmentStrings(const std::wstring& text) {
    DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed != 0) {
        std::vector<wchar_t> buffer(needed + 1, L'\0');
        if (ExpandEnvironmentStringsW(text.c_str(), buffer.data(), needed) != 0) return buffer.data();
    }
    DWORD error = GetLastError();
    throwOSError(format(L"ExpandEnvironmentStrings(%s)", text.c_str()), error,
                 VLOCATION_AT("VFileName::expandEnvironmentStrings", 246));
}

std::wstring stripLongPathPrefix(const std::wstring& path) {
    return path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : path;
}

}  // namespace VFileName
