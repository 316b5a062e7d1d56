#include "runtime/exceptions.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "runtime/comerror.h"
#include "runtime/cancellation.h"
#include "runtime/text.h"

vexception::vexception(std::wstring message) : message_(std::move(message)) {}

vexception::vexception(std::wstring message, ErrorLocation location) : message_(std::move(message)) {
    locations_.push_back(std::move(location));
}

namespace {
std::wstring comText(const ComError& error, const std::wstring& where) {
    std::wstring text = error.errorMessage() + format(L" (COM Error %08X", static_cast<unsigned>(error.error()));
    if (!error.description().empty()) text += L", Description: " + error.description();
    return text + L") at " + where;
}
}  // namespace

vexception::vexception(const ComError& error, const std::wstring& where, const char* function, unsigned line)
    : vexception(comText(error, where), ErrorLocation(std::wstring(), function, line)) {}

void vexception::addLocation(ErrorLocation location) { locations_.push_back(std::move(location)); }

std::wstring vexception::text() const { return isDebugMode() ? fullText() : message_; }

std::wstring vexception::fullText() const {
    std::wstring text = message_;
    for (const ErrorLocation& location : locations_) {
        text += L"\n   at " + location.context + L"(" + wstr(location.function, 0) + L" line " +
                std::to_wstring(location.line) + L")";
    }
    return text;
}

std::wstring cwrpexception::text() const { return L"C Exception: " + std::to_wstring(code_); }

std::wstring formatOSError(DWORD code, const wchar_t* where) {
    std::wstring suffix = L" (Error code " + std::to_wstring(code) + L")";
    if (where) suffix += std::wstring(L" at ") + where;

    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, code, 0x0400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (!length || !buffer) {
        if (buffer) LocalFree(buffer);
        return L"Unknown error" + suffix;
    }
    std::wstring message(buffer, length);
    LocalFree(buffer);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n')) message.pop_back();
    return message + suffix;
}

void throwOSError(const std::wstring& text, DWORD code, ErrorLocation location) {
    std::wstring message = formatOSError(code, text.c_str());
    switch (code) {
    case ERROR_FILE_NOT_FOUND: throw VFileNotFoundException(message, location, code);
    case ERROR_PATH_NOT_FOUND: throw VPathNotFoundException(message, location, code);
    case ERROR_ACCESS_DENIED: throw VAccessDeniedException(message, location, code);
    case ERROR_OUTOFMEMORY: throw VOutOfMemoryException(message, location, code);
    case ERROR_SHARING_VIOLATION: throw VSharingViolationException(message, location, code);
    case ERROR_HANDLE_EOF: throw VEOFException(message, location, code);
    case ERROR_FILE_EXISTS: throw VFileExistsException(message, location, code);
    case ERROR_INSUFFICIENT_BUFFER: throw VInsufficientBufferException(message, location, code);
    case ERROR_ALREADY_EXISTS: throw VAlreadyExistsException(message, location, code);
    case ERROR_SERVICE_DOES_NOT_EXIST: throw VServiceDoesNotExistException(message, location, code);
    case 2245 /* NERR_PasswordTooShort */: throw VPasswordTooShortException(message, location, code);
    default: throw vosexception(message, location, code);
    }
}

void throwOutOfMemory() { throw vexception(formatOSError(ERROR_OUTOFMEMORY, nullptr)); }

vexception currentAsVException(const std::wstring& context, const char* function, unsigned line) {
    try {
        throw;
    } catch (const ThreadCancelation::ThreadCanceledException&) {
        throw;  // a cancelled thread unwinds to its top
    } catch (const std::exception& e) {
        return vexception(wstr(e.what(), 0), ErrorLocation(context, function, line));
    } catch (const vexception& e) {
        vexception passed(e);
        passed.addLocation(ErrorLocation(context, function, line));
        return passed;
    } catch (const ComError& e) {
        return vexception(e, context, function, line);
    } catch (const cwrpexception& e) {
        return vexception(e.text(), ErrorLocation(context, function, line));
    } catch (...) {
        return vexception(L"Unexpected error", ErrorLocation(context, function, line));
    }
}

namespace RunTime {
namespace {

std::wstring formatGrowing(const wchar_t* format, va_list args) {
    std::wstring buffer(255, L'\0');
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int written = _vsnwprintf(&buffer[0], buffer.size(), format, copy);
        va_end(copy);
        if (written >= 0 && static_cast<size_t>(written) <= buffer.size()) {
            buffer.resize(static_cast<size_t>(written));
            return buffer;
        }
        buffer.assign(buffer.size() * 2 + 2, L'\0');
    }
}

std::string formatGrowing(const char* format, va_list args) {
    std::string buffer(255, '\0');
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int written = _vsnprintf(&buffer[0], buffer.size(), format, copy);
        va_end(copy);
        if (written >= 0 && static_cast<size_t>(written) <= buffer.size()) {
            buffer.resize(static_cast<size_t>(written));
            return buffer;
        }
        buffer.assign(buffer.size() * 2 + 2, '\0');
    }
}

std::string fallbackText(DWORD code) {
    char text[40];
    if (code > 0x80040200UL && code <= 0x8004FFFFUL)
        std::snprintf(text, sizeof text, "IDispatch error #%d", static_cast<int>(code - 0x80040200UL));
    else
        std::snprintf(text, sizeof text, "Unknown error 0x%0lX", static_cast<unsigned long>(code));
    return text;
}

std::string systemErrorTextA(DWORD code) {
    std::string text(255, '\0');
    for (;;) {
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0x0400, &text[0],
                                      static_cast<DWORD>(text.size() + 1), nullptr);
        if (length) {
            text.resize(length);
            break;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            text = fallbackText(code);
            break;
        }
        text.assign(text.size() * 2 + 2, '\0');
    }
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') text.pop_back();
    }
    return text;
}

[[noreturn]] void throwByCode(const std::string& message, DWORD code) {
    debugTrace("%s\n", message.c_str());
    switch (code) {
    case 2: case 3: throw PathNotFoundException(message);
    case 5: throw AccessDeniedException(message);
    case 6: throw InvalidHandleException(message);
    case 15: case 26: case 34: case 123: case 161: case 267: throw InvalidPathException(message);
    case 17: throw NotSameDeviceException(message);
    case 32: case 33: case 36: throw SharingViolationException(message);
    case 80: case 183: throw AlreadyExistsException(message);
    case 145: throw DirectoryNotEmptyException(message);
    case 1332: throw NoneMappedException(message);
    default: throw std::runtime_error(message);
    }
}

std::string withSystemText(const std::string& text, DWORD code, const std::string& systemText) {
    if (code == 0) return text;
    return text + ": (" + std::to_string(static_cast<int>(code)) + ") " + systemText;
}

}  // namespace

std::wstring systemErrorText(DWORD code) {
    std::wstring text(255, L'\0');
    for (;;) {
        DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0x0400, &text[0],
                                      static_cast<DWORD>(text.size() + 1), nullptr);
        if (length) {
            text.resize(length);
            break;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            text = ::wstr(fallbackText(code), 0);
            break;
        }
        text.assign(text.size() * 2 + 2, L'\0');
    }
    if (!text.empty() && text.back() == L'\n') {
        text.pop_back();
        if (!text.empty() && text.back() == L'\r') text.pop_back();
    }
    return text;
}

void throwRuntimeError(const wchar_t* format, DWORD code, ...) {
    va_list args;
    va_start(args, code);
    std::wstring text = formatGrowing(format, args);
    va_end(args);
    std::string systemText = code ? toNarrow(systemErrorText(code), 0) : std::string();
    throwByCode(withSystemText(toNarrow(text, 0), code, systemText), code);
}

void throwRuntimeError(const char* format, DWORD code, ...) {
    va_list args;
    va_start(args, code);
    std::string text = formatGrowing(format, args);
    va_end(args);
    throwByCode(withSystemText(text, code, code ? systemErrorTextA(code) : std::string()), code);
}

void debugTrace(const char* format, ...) {
    if (!IsDebuggerPresent()) return;
    va_list args;
    va_start(args, format);
    std::string text = formatGrowing(format, args);
    va_end(args);
    OutputDebugStringA(text.c_str());
}

std::wstring toWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length == 0)
        throwRuntimeError(L"Map a character string to a wide-character (Unicode) string failed", GetLastError());
    std::wstring result(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &result[0], length);
    return result;
}

std::string toNarrow(const std::wstring& text, unsigned codePage) {
    if (text.empty()) return std::string();
    int length = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    if (length == 0)
        throwRuntimeError(L"Map a wide-character (Unicode) string to a character string failed", GetLastError());
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &result[0], length, nullptr,
                        nullptr);
    return result;
}

}  // namespace RunTime
