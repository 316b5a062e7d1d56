#include "runtime/text.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "runtime/exceptions.h"

std::wstring wstr(const std::string& text, unsigned codePage) {
    if (text.empty()) return std::wstring();
    int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length == 0)
        throw vexception(L"Maps a character string to a wide-character (Unicode) string failed", VLOCATION("wstr"));
    std::wstring result(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &result[0], length);
    return result;
}

std::string cstr(const std::wstring& text, unsigned codePage) {
    if (text.empty()) return std::string();
    int length = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    if (length == 0)
        throw vexception(L"Maps a wide-character (Unicode) string to a character stringz", VLOCATION("cstr"));
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &result[0], length, nullptr,
                        nullptr);
    return result;
}

std::wstring vaformat(const wchar_t* format, va_list args) {
    const size_t limit = 0xA00000;
    for (size_t capacity = 100; capacity < limit; capacity *= 2) {
        wchar_t* buffer = static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t)));
        if (!buffer) throwOutOfMemory();
        va_list copy;
        va_copy(copy, args);
        int written = _vsnwprintf(buffer, capacity, format, copy);
        va_end(copy);
        if (written >= 0 && static_cast<size_t>(written) < capacity) {
            std::wstring result(buffer, static_cast<size_t>(written));
            std::free(buffer);
            return result;
        }
        std::free(buffer);
    }
    return L"Error on try call vaformat";
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
