// Narrow <-> wide text and printf-style formatting of wide text.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// The conversion cores: MultiByteToWideChar / WideCharToMultiByte over the
// whole string (embedded zeros included), flags 0, no default character.
// False, with the thread's last error set, when the system cannot measure
// the text. Each family of callers adds its own failure.
bool convertToWide(const std::string& text, unsigned codePage, std::wstring& result);
bool convertToNarrow(const std::wstring& text, unsigned codePage, std::string& result);

// Narrow to wide with the code page (0: the ANSI code page).
std::wstring wstr(const std::string& text, unsigned codePage = 0);
// Wide to narrow with the code page, no default character.
std::string cstr(const std::wstring& text, unsigned codePage = 0);

// The formatting core: _vsn(w)printf into a buffer that doubles from 100
// characters while it is smaller than maxCapacity. False when the text does
// not fit below that.
bool formatGrowing(std::wstring& result, const wchar_t* format, va_list args, size_t maxCapacity);
bool formatGrowing(std::string& result, const char* format, va_list args, size_t maxCapacity);

// Gives "Error on try call vaformat" for a text of 6,553,600 characters or more.
std::wstring vaformat(const wchar_t* format, va_list args);
std::wstring format(const wchar_t* format, ...);
