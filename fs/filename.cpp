#include "fs/filename.h"

#include <windows.h>
#include <shlwapi.h>

#include <vector>

#include "ipc/srvclient.h"
#include "runtime/exceptions.h"

namespace VFileName {
namespace {

const wchar_t separators[] = L"\\/";
const wchar_t longPathPrefix[] = L"\\\\?\\";
const wchar_t devicePrefix[] = L"\\\\.\\";

// A private, terminated copy for the shell functions that edit in place.
std::vector<wchar_t> buffer(const std::wstring& path) {
    std::vector<wchar_t> copy(path.begin(), path.end());
    copy.push_back(L'\0');
    return copy;
}

}  // namespace

std::wstring combine(const std::wstring& dir, const std::wstring& fileName) {
    const std::wstring name = trimLeadingSeparators(fileName);
    const std::wstring base = trimTrailingSeparators(dir);
    wchar_t result[MAX_PATH] = L"";
    if (!PathCombineW(result, base.c_str(), name.c_str()))
        throw vexception(L"PathCombine failed for dir " + dir + L" and fileName " + fileName,
                         VLOCATION_AT("VFileName::combine", 105));
    return result;
}

std::wstring root(const std::wstring& path) {
    std::vector<wchar_t> copy = buffer(path);
    if (!PathStripToRootW(copy.data()))
        throw vexception(L"PathStripToRoot failed for fileName=" + path, VLOCATION_AT("VFileName::root", 42));
    return copy.data();
}

std::wstring extension(const std::wstring& path) { return PathFindExtensionW(path.c_str()); }

std::wstring fileName(const std::wstring& path) { return PathFindFileNameW(path.c_str()); }

std::wstring removeExtension(const std::wstring& path) {
    std::vector<wchar_t> copy = buffer(path);
    PathRemoveExtensionW(copy.data());
    return copy.data();
}

std::wstring parent(const std::wstring& path) {
    std::vector<wchar_t> copy = buffer(path);
    PathRemoveFileSpecW(copy.data());
    return copy.data();
}

std::wstring trimTrailingSeparators(const std::wstring& path) {
    size_t last = path.find_last_not_of(separators);
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last + 1);
}

std::wstring trimLeadingSeparators(const std::wstring& path) {
    size_t first = path.find_first_not_of(separators);
    return first == std::wstring::npos ? std::wstring() : path.substr(first);
}

bool isPrefix(const std::wstring& prefix, const std::wstring& path) {
    return PathIsPrefixW(prefix.c_str(), path.c_str()) != FALSE;
}

std::wstring stripTrailingBackslash(const std::wstring& path) {
    const size_t n = path.size();
    if (n >= 1 && path[n - 1] == L'\\') return path.substr(0, n - 1);
    if (n >= 2 && path.compare(n - 2, 2, L"\\.") == 0) return path.substr(0, n - 2);
    return path;
}

std::wstring normalize(const std::wstring& path) {
    std::wstring copy = path;
    for (wchar_t& c : copy)
        if (c == L'/') c = L'\\';
    std::wstring prefix;
    if (copy.compare(0, 4, longPathPrefix) == 0 || copy.compare(0, 4, devicePrefix) == 0) {
        prefix = copy.substr(0, 4);
        copy.erase(0, 4);
    }
    const bool leading = !copy.empty() && copy.front() == L'\\';
    const bool trailing = copy.size() > 1 && copy.back() == L'\\';

    std::vector<std::wstring> parts;
    for (size_t start = 0; start <= copy.size();) {
        size_t end = copy.find(L'\\', start);
        if (end == std::wstring::npos) end = copy.size();
        std::wstring part = copy.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == L".") continue;
        if (part == L"..") {
            if (!parts.empty() && parts.back() != L"..") {
                parts.pop_back();
                continue;
            }
        }
        parts.push_back(part);
    }

    std::wstring result;
    for (const std::wstring& part : parts) {
        if (!result.empty()) result += L'\\';
        result += part;
    }
    if (leading) result.insert(0, 1, L'\\');
    if (trailing) result += L'\\';
    return prefix + result;
}

}  // namespace VFileName

std::wstring productDir(const std::wstring& name) {
    const std::wstring value = OrvexSrvClient::getInstance().getString(name);
    return VFileName::trimTrailingSeparators(VFileName::normalize(value));
}

std::wstring productRootDir() {
    // Asked once; a failed first request leaves it unset, so a later call
    // asks again. The function-local static serialises concurrent first use.
    static const std::wstring root = productDir(L"PRODUCT_ROOT_D");
    return root;
}

std::wstring productAdminDir() { return VFileName::combine(productRootDir(), L"admin"); }
