#include "runtime/exceptions.h"

#include <lmerr.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "runtime/comerror.h"
#include "runtime/owners.h"
#include "runtime/text.h"
#include "runtime/threadcanceled.h"

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

bool systemMessage(DWORD code, bool ignoreInserts, std::wstring& text) {
    UniqueLocalPtr<wchar_t> buffer;
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                  (ignoreInserts ? FORMAT_MESSAGE_IGNORE_INSERTS : 0);
    DWORD length = FormatMessageW(flags, nullptr, code, 0x0400, reinterpret_cast<wchar_t*>(buffer.put()), 0, nullptr);
    if (!length || !buffer) return false;
    text.assign(buffer.get(), length);
    return true;
}

std::wstring unknownErrorText(DWORD code) {
    if (code > 0x80040200UL && code <= 0x8004FFFFUL)
        return format(L"IDispatch error #%d", static_cast<int>(code - 0x80040200UL));
    return format(L"Unknown error 0x%0lX", static_cast<unsigned long>(code));
}

void removeOneLineEnd(std::wstring& text) {
    if (text.empty() || text.back() != L'\n') return;
    text.pop_back();
    if (!text.empty() && text.back() == L'\r') text.pop_back();
}

std::wstring formatOSError(DWORD code, const wchar_t* where) {
    std::wstring suffix = L" (Error code " + std::to_wstring(code) + L")";
    if (where) suffix += std::wstring(L" at ") + where;
    std::wstring message;
    if (!systemMessage(code, true, message)) return L"Unknown error" + suffix;
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
    case NERR_PasswordTooShort: throw VPasswordTooShortException(message, location, code);
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

const size_t unlimited = static_cast<size_t>(-1);

[[noreturn]] void throwByCode(const std::string& message, DWORD code) {
    debugTrace("%s\n", message.c_str());
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: throw PathNotFoundException(message);
    case ERROR_ACCESS_DENIED: throw AccessDeniedException(message);
    case ERROR_INVALID_HANDLE: throw InvalidHandleException(message);
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_DOS_DISK:
    case ERROR_WRONG_DISK:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY: throw InvalidPathException(message);
    case ERROR_NOT_SAME_DEVICE: throw NotSameDeviceException(message);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_SHARING_BUFFER_EXCEEDED: throw SharingViolationException(message);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: throw AlreadyExistsException(message);
    case ERROR_DIR_NOT_EMPTY: throw DirectoryNotEmptyException(message);
    case ERROR_NONE_MAPPED: throw NoneMappedException(message);
    default: throw std::runtime_error(message);
    }
}

// "%s: (%d) %s" with the code's system text; the text alone for code 0.
[[noreturn]] void throwWithSystemText(const std::string& text, DWORD code) {
    if (code == 0) throwByCode(text, code);
    throwByCode(text + ": (" + std::to_string(static_cast<int>(code)) + ") " + toNarrow(systemErrorText(code), 0),
                code);
}

}  // namespace

std::wstring systemErrorText(DWORD code) {
    std::wstring text;
    if (!systemMessage(code, false, text)) return unknownErrorText(code);
    removeOneLineEnd(text);
    return text;
}

void throwRuntimeError(const wchar_t* format, DWORD code, ...) {
    std::wstring text;
    va_list args;
    va_start(args, code);
    formatGrowing(text, format, args, unlimited);
    va_end(args);
    throwWithSystemText(toNarrow(text, 0), code);
}

void throwRuntimeError(const char* format, DWORD code, ...) {
    std::string text;
    va_list args;
    va_start(args, code);
    formatGrowing(text, format, args, unlimited);
    va_end(args);
    throwWithSystemText(text, code);
}

void debugTrace(const char* format, ...) {
    if (!IsDebuggerPresent()) return;
    va_list args;
    va_start(args, format);
    std::string text;
    formatGrowing(text, format, args, unlimited);
    va_end(args);
    OutputDebugStringA(text.c_str());
}

std::wstring toWide(const std::string& text) {
    std::wstring result;
    if (!convertToWide(text, CP_ACP, result))
        throwRuntimeError(L"Map a character string to a wide-character (Unicode) string failed", GetLastError());
    return result;
}

std::string toNarrow(const std::wstring& text, unsigned codePage) {
    std::string result;
    if (!convertToNarrow(text, codePage, result))
        throwRuntimeError(L"Map a wide-character (Unicode) string to a character string failed", GetLastError());
    return result;
}

}  // namespace RunTime
