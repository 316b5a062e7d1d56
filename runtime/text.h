// Narrow <-> wide text and printf-style formatting of wide text.
#pragma once

#include <cstdarg>
#include <string>

// Narrow to wide with the code page (0: the ANSI code page). Embedded zero
// bytes are converted like any other character.
std::wstring wstr(const std::string& text, unsigned codePage = 0);
// Wide to narrow with the code page, no default character.
std::string cstr(const std::wstring& text, unsigned codePage = 0);

// _vsnwprintf into a buffer that doubles until the text fits; gives
// "Error on try call vaformat" for a text of 6,553,600 characters or more.
std::wstring vaformat(const wchar_t* format, va_list args);
std::wstring format(const wchar_t* format, ...);
