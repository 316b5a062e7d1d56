// The library's two exception families and the texts that operating-system,
// COM and machine-fault errors turn into.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

// One entry of an exception's location list: where it arose (empty context)
// or which catch point passed it on.
struct ErrorLocation {
    ErrorLocation(std::wstring context, std::string function, unsigned line)
        : context(std::move(context)), function(std::move(function)), line(line) {}

    std::wstring context;
    std::string function;  // qualified name as written in the source
    unsigned line;
};

// Location of a throw point: VLOCATION("registry::open"). A helper that
// throws for its caller takes the caller's ErrorLocation as an argument.
#define VLOCATION(function) ErrorLocation(std::wstring(), (function), __LINE__)
// A throw point whose reported line is fixed, whatever line it stands on.
#define VLOCATION_AT(function, line) ErrorLocation(std::wstring(), (function), (line))
// Location of a catch point that gives a context text.
#define VCATCH_LOCATION(context, function) ErrorLocation((context), (function), __LINE__)

class ComError;

class vexception {
public:
    explicit vexception(std::wstring message);
    vexception(std::wstring message, ErrorLocation location);
    // The COM text of a failed HRESULT, with one location.
    vexception(const ComError& error, const std::wstring& where, const char* function, unsigned line);

    void addLocation(ErrorLocation location);
    // Lets edit rewrite the message and every location's context.
    template <class Edit>
    void editTexts(Edit&& edit) {
        edit(message_);
        for (ErrorLocation& location : locations_) edit(location.context);
    }

    const std::wstring& message() const { return message_; }
    const std::vector<ErrorLocation>& locations() const { return locations_; }

    // The message, or fullText() while the "Debug" switch is on.
    std::wstring text() const;
    // The message followed by every location, oldest first.
    std::wstring fullText() const;

private:
    std::wstring message_;
    std::vector<ErrorLocation> locations_;
};

class vosexception : public vexception {
public:
    vosexception(std::wstring message, ErrorLocation location, DWORD errorCode)
        : vexception(std::move(message), std::move(location)), errorCode_(errorCode) {}

    DWORD errorCode() const { return errorCode_; }

private:
    DWORD errorCode_;
};

#define HVC_OS_EXCEPTION(name)                                                     \
    class name : public vosexception {                                             \
    public:                                                                        \
        using vosexception::vosexception;                                          \
    };
HVC_OS_EXCEPTION(VFileNotFoundException)        // 2
HVC_OS_EXCEPTION(VPathNotFoundException)        // 3
HVC_OS_EXCEPTION(VAccessDeniedException)        // 5
HVC_OS_EXCEPTION(VOutOfMemoryException)         // 14
HVC_OS_EXCEPTION(VSharingViolationException)    // 32
HVC_OS_EXCEPTION(VEOFException)                 // 38
HVC_OS_EXCEPTION(VFileExistsException)          // 80
HVC_OS_EXCEPTION(VInsufficientBufferException)  // 122
HVC_OS_EXCEPTION(VAlreadyExistsException)       // 183
HVC_OS_EXCEPTION(VServiceDoesNotExistException) // 1060
HVC_OS_EXCEPTION(VPasswordTooShortException)    // 2245
#undef HVC_OS_EXCEPTION

class ArgumentException : public vexception {
public:
    using vexception::vexception;
};

namespace VDatabase {
class ConnectException : public vexception {
public:
    using vexception::vexception;
};
}  // namespace VDatabase

// A machine fault (access violation, division by zero, ...) turned into a
// C++ exception inside a SeTranslatorScope.
class cwrpexception {
public:
    explicit cwrpexception(unsigned code) : code_(code) {}
    unsigned code() const { return code_; }
    // "C Exception: " and the code in unsigned decimal.
    std::wstring text() const;

private:
    unsigned code_;
};

// Builds the message from the system text of `code` and `text`, then throws
// the vosexception subclass that belongs to the code.
[[noreturn]] void throwOSError(const std::wstring& text, DWORD code, ErrorLocation location);

// The one call for system message texts: FormatMessageW of the code as the
// system gives it, line ends included; false when the system has none.
bool systemMessage(DWORD code, bool ignoreInserts, std::wstring& text);
// "IDispatch error #N" or "Unknown error 0x..": a code without system text.
std::wstring unknownErrorText(DWORD code);
// Removes one final "\n", and a "\r" before it.
void removeOneLineEnd(std::wstring& text);

// System message of `code` (line end removed), " (Error code N)" and, when
// `where` is not null, " at " and `where`.
std::wstring formatOSError(DWORD code, const wchar_t* where);

// Thrown when the library's own buffers cannot be allocated.
[[noreturn]] void throwOutOfMemory();

// True while the "Debug" configuration value is non-zero (re-read every 16 calls).
bool isDebugMode();

// Turns the exception being handled into one vexception with the catch point's
// location appended. Call only inside a catch block.
vexception currentAsVException(const std::wstring& context, const char* function, unsigned line);
#define VCURRENT_EXCEPTION(context, function) currentAsVException((context), (function), __LINE__)

// The RunTime family: narrow messages, used by process and security code.
namespace RunTime {
#define HVC_RUNTIME_EXCEPTION(name)                                                \
    class name : public std::runtime_error {                                       \
    public:                                                                        \
        using std::runtime_error::runtime_error;                                   \
    };
HVC_RUNTIME_EXCEPTION(InvalidPathException)
HVC_RUNTIME_EXCEPTION(PathNotFoundException)
HVC_RUNTIME_EXCEPTION(AccessDeniedException)
HVC_RUNTIME_EXCEPTION(SharingViolationException)
HVC_RUNTIME_EXCEPTION(AlreadyExistsException)
HVC_RUNTIME_EXCEPTION(NotSameDeviceException)
HVC_RUNTIME_EXCEPTION(DirectoryNotEmptyException)
HVC_RUNTIME_EXCEPTION(NoneMappedException)
HVC_RUNTIME_EXCEPTION(InvalidHandleException)
#undef HVC_RUNTIME_EXCEPTION

// Formats the text; with a non-zero code the message becomes
// "%s: (%d) %s" with the system text of the code. Throws by code.
[[noreturn]] void throwRuntimeError(const wchar_t* format, DWORD code, ...);
[[noreturn]] void throwRuntimeError(const char* format, DWORD code, ...);

// FormatMessageW of the code, or the IDispatch/Unknown fallback.
std::wstring systemErrorText(DWORD code);

// Sends the text to an attached debugger; nothing otherwise.
void debugTrace(const char* format, ...);

// Text conversions that fail with RunTime exceptions.
std::wstring toWide(const std::string& text);
std::string toNarrow(const std::wstring& text, unsigned codePage = 0);
}  // namespace RunTime
