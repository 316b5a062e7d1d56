// The execute export.
#include <stdexcept>
#include <string>

#include "process/execute.h"
#include "process/stdpipes.h"
#include "process/userenv.h"
#include "runtime/exportframe.h"
#include "security/sid.h"

namespace {

const DWORD exitWaitDefault = 180000;
DWORD exitWait = exitWaitDefault;

const unsigned long failed = 0xFFFFFFFF;

bool equalsAscii(const char* text, const char* lower) {
    for (; *text && *lower; ++text, ++lower) {
        char unit = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text - 'A' + 'a') : *text;
        if (unit != *lower) return false;
    }
    return *text == *lower;
}

AccountSid accountOf(const char* user, const std::wstring& name) {
    if (equalsAscii(user, "guest")) return AccountSid::fromDomainRid(DOMAIN_USER_RID_GUEST);
    if (equalsAscii(user, "root")) return AccountSid::fromDomainRid(DOMAIN_USER_RID_ADMIN);
    if (equalsAscii(user, "system")) return AccountSid::system();
    AccountSid account;
    account.fromName(std::wstring(), name, true);
    return account;
}

}  // namespace

namespace execute {
// Departs from TOKEN_READ: CreateEnvironmentBlock needs a token it may
// duplicate and impersonate with.
UniqueHandle callerToken() {
    const DWORD access = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE;
    UniqueHandle token;
    if (OpenThreadToken(GetCurrentThread(), access, FALSE, token.put())) return token;
    if (GetLastError() != ERROR_NO_TOKEN) throw std::runtime_error("Unable to open a thread token");
    if (!OpenProcessToken(GetCurrentProcess(), access, token.put()))
        throw std::runtime_error("Unable to open a process token");
    return token;
}
}  // namespace execute

namespace {

// Ends the child with exit code 1, then raises the step's own failure.
template <class Raise>
[[noreturn]] void terminateAndRaise(HANDLE process, Raise raise) {
    if (!TerminateProcess(process, 1)) RunTime::throwRuntimeError(L"Can't terminate process", GetLastError());
    raise();
    throw std::logic_error("unreachable");
}

}  // namespace

namespace execute {
void setExitWaitForTests(DWORD milliseconds) { exitWait = milliseconds; }
}  // namespace execute

HVC_EXPORT unsigned long __cdecl HVC_Execute(const char* user, const char* command, const char* directory,
                                             unsigned long, const char* input, const char** output,
                                             const char** errors, const char* environment) {
    return exportframe::boundary(failed, exportframe::OnSuccess::ClearSlot, [&]() -> unsigned long {
        const std::string userText = exportframe::required(user, "user");
        const std::wstring userName = wstr(userText, CP_ACP);
        const std::wstring commandLine = wstr(exportframe::required(command, "command"), CP_ACP);
        const std::string inputText = exportframe::callerText(input);

        AccountSid account = accountOf(userText.c_str(), userName);
        RunTime::SIDClient pipes;
        UniqueHandle token = execute::callerToken();
        UserEnvironment environmentVariables = UserEnvironment::forChild(token.get(), account.get());
        if (environment) {
            std::wstring list = wstr(exportframe::callerText(environment), CP_ACP);
            for (wchar_t& unit : list)
                if (unit == L'\n') unit = L'\0';
            environmentVariables.addVariables(list);
        }
        const std::wstring workingDirectory = wstr(exportframe::callerText(directory), CP_ACP);

        UniqueHandle process = RunTime::launchAsUser(pipes, account.get(), commandLine, workingDirectory,
                                                     environmentVariables.toBlock());
        if (!SetPriorityClass(process.get(), NORMAL_PRIORITY_CLASS))
            RunTime::throwRuntimeError(L"Can't set process (%s) priority", GetLastError(), commandLine.c_str());

        // The input goes in on a thread of its own while the output is read,
        // so neither side can fill a pipe the other waits on. Without input
        // the child reads end of file at once.
        if (!inputText.empty()) {
            pipes.setInput(inputText);
            pipes.startInputThread();
        } else {
            pipes.stdinWrite.reset();
        }

        std::string out, err;
        if (!RunTime::readPipes(out, err, pipes.stdoutRead.get(), pipes.stdoutOverlapped.get(),
                                pipes.stderrRead.get(), pipes.stderrOverlapped.get(), nullptr, INFINITE, 0xFFFFFFFF))
            terminateAndRaise(process.get(), [&] {
                RunTime::throwRuntimeError(L"Unable to execute (%s)", ERROR_TIMEOUT, commandLine.c_str());
            });

        const DWORD waited = WaitForSingleObject(process.get(), exitWait);
        if (waited == WAIT_TIMEOUT)
            terminateAndRaise(process.get(), [&] {
                RunTime::throwRuntimeError(L"Unable to execute (%s)", ERROR_TIMEOUT, commandLine.c_str());
            });
        if (waited == WAIT_FAILED) {
            const DWORD error = GetLastError();
            terminateAndRaise(process.get(), [&] { RunTime::throwRuntimeError(L"Unable to wait process", error); });
        }
        if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED_0)
            terminateAndRaise(process.get(), [&] {
                RunTime::throwRuntimeError(L"Unable to wait process: Unknown state %X", 0,
                                           static_cast<unsigned>(waited));
            });
        DWORD exitCode = 0;
        if (!GetExitCodeProcess(process.get(), &exitCode))
            RunTime::throwRuntimeError(L"Unable to get process exit code", GetLastError());
        // The child has gone, so a write it never read has failed by now.
        pipes.finishInput();

        if (output) *output = exportframe::newString(out);
        if (errors) *errors = exportframe::newString(err);
        return exitCode;
    });
}
