#include "filename.h"

#include <windows.h>

#include <vector>

#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace VFileName {

std::wstring expandEnvironmentStrings(const std::wstring& text) {
    DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0)
        throwOSError(format(L"ExpandEnvironmentStrings(%s)", text.c_str()), GetLastError(),
                     VLOCATION("VFileName::expandEnvironmentStrings"));
    std::vector<wchar_t> buffer(needed + 1, L'\0');
    if (ExpandEnvironmentStringsW(text.c_str(), buffer.data(), needed) == 0)
        throwOSError(format(L"ExpandEnvironmentStrings(%s)", text.c_str()), GetLastError(),
                     VLOCATION("VFileName::expandEnvironmentStrings"));
    return buffer.data();
}

}  // namespace VFileName
