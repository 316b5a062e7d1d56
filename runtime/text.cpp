#include "runtime/text.h"

#include <windows.h>

#include <cstdlib>
#include <cstdio>
#include <cwchar>
#include <limits>

#include "runtime/exceptions.h"
#include "runtime/owners.h"

bool convertToWide(const std::string& text, unsigned codePage, std::wstring& result) {
    result.clear();
    if (text.empty()) return true;
    int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length == 0) return false;
    result.assign(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &result[0], length);
    return true;
}

bool convertToNarrow(const std::wstring& text, unsigned codePage, std::string& result) {
    result.clear();
    if (text.empty()) return true;
    int length = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    if (length == 0) return false;
    result.assign(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &result[0], length, nullptr,
                        nullptr);
    return true;
}

std::wstring wstr(const std::string& text, unsigned codePage) {
    std::wstring result;
    if (!convertToWide(text, codePage, result))
        throw vexception(L"Maps a character string to a wide-character (Unicode) string failed", VLOCATION("wstr"));
    return result;
}

std::string cstr(const std::wstring& text, unsigned codePage) {
    std::string result;
    if (!convertToNarrow(text, codePage, result))
        throw vexception(L"Maps a wide-character (Unicode) string to a character stringz", VLOCATION("cstr"));
    return result;
}

namespace {

int printInto(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
    return _vsnwprintf(buffer, capacity, format, args);
}
int printInto(char* buffer, size_t capacity, const char* format, va_list args) {
    return _vsnprintf(buffer, capacity, format, args);
}

template <class Char>
bool formatGrowingCore(std::basic_string<Char>& result, const Char* format, va_list args, size_t maxCapacity) {
    for (size_t capacity = 100; capacity < maxCapacity; capacity *= 2) {
        UniqueMallocPtr<Char> buffer(static_cast<Char*>(std::malloc(capacity * sizeof(Char))));
        if (!buffer) throwOutOfMemory();
        va_list copy;
        va_copy(copy, args);
        int written = printInto(buffer.get(), capacity, format, copy);
        va_end(copy);
        if (written >= 0 && static_cast<size_t>(written) < capacity) {
            result.assign(buffer.get(), static_cast<size_t>(written));
            return true;
        }
        if (capacity > std::numeric_limits<size_t>::max() / 4 / sizeof(Char)) break;
    }
    return false;
}

}  // namespace

bool formatGrowing(std::wstring& result, const wchar_t* format, va_list args, size_t maxCapacity) {
    return formatGrowingCore(result, format, args, maxCapacity);
}

bool formatGrowing(std::string& result, const char* format, va_list args, size_t maxCapacity) {
    return formatGrowingCore(result, format, args, maxCapacity);
}

std::wstring vaformat(const wchar_t* format, va_list args) {
    std::wstring result;
    if (!formatGrowing(result, format, args, 0xA00000)) return L"Error on try call vaformat";
    return result;
}

std::wstring format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring result;
    try {
        result = vaformat(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return result;
}
