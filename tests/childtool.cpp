// A child for the process-execution tests and benches. Runs its arguments as
// steps through the raw standard handles (no text-mode changes):
//   out TEXT / err TEXT    the text, as UTF-8, to stdout / stderr
//   zero                   "ab", a zero byte, "cd" to stdout
//   bulk N                 N bytes in 4 KiB chunks alternately to stdout and stderr;
//                          chunk i of stream s is filled with 'a' + (i + s) % 26
//   fill N                 N bytes of 'x' to stdout in 64 KiB writes
//   close-out / close-err  closes that stream
//   echo-in                reads stdin to its end, then writes it to stdout
//   env / cwd              the environment, one NAME=VALUE a line / the working directory
//   sleep MS / exit N      sleeps / ends with exit code N (the default is 0)
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>

#include "runtime/owners.h"

namespace {

void put(DWORD stream, const std::string& bytes) {
    DWORD written = 0;
    WriteFile(GetStdHandle(stream), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string utf8(const std::wstring& text) {
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                         &bytes[0], static_cast<int>(bytes.size()), nullptr, nullptr)));
    return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    UINT exitCode = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring step = argv[i];
        const wchar_t* argument = i + 1 < argc ? argv[i + 1] : L"";
        const unsigned long long number = std::wcstoull(argument, nullptr, 10);
        if (step == L"out" || step == L"err") {
            put(step == L"out" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, utf8(argument));
        } else if (step == L"zero") {
            put(STD_OUTPUT_HANDLE, std::string("ab\0cd", 5));
        } else if (step == L"bulk") {
            for (unsigned long long done = 0, index[2] = {0, 0}; done < number; done += 4096) {
                const int stream = static_cast<int>((done / 4096) % 2);
                put(stream == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE,
                    std::string(static_cast<size_t>(number - done < 4096 ? number - done : 4096),
                                static_cast<char>('a' + (index[stream]++ + stream) % 26)));
            }
        } else if (step == L"fill") {
            for (unsigned long long left = number; left > 0; left -= left < 65536 ? left : 65536)
                put(STD_OUTPUT_HANDLE, std::string(static_cast<size_t>(left < 65536 ? left : 65536), 'x'));
        } else if (step == L"close-out" || step == L"close-err") {
            const DWORD stream = step == L"close-out" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
            UniqueHandle(GetStdHandle(stream)).reset();
            SetStdHandle(stream, nullptr);
        } else if (step == L"echo-in") {
            std::string all;
            char buffer[4096];
            for (DWORD got = 0; ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got;)
                all.append(buffer, got);
            put(STD_OUTPUT_HANDLE, all);
        } else if (step == L"env") {
            UniqueAny<wchar_t*, &::FreeEnvironmentStringsW> block(GetEnvironmentStringsW());
            for (const wchar_t* entry = block.get(); entry && *entry; entry += std::wcslen(entry) + 1)
                put(STD_OUTPUT_HANDLE, utf8(entry) + "\n");
        } else if (step == L"cwd") {
            wchar_t directory[MAX_PATH];
            put(STD_OUTPUT_HANDLE, utf8(std::wstring(directory, GetCurrentDirectoryW(MAX_PATH, directory))));
        } else if (step == L"sleep") {
            Sleep(static_cast<DWORD>(number));
        } else if (step == L"exit") {
            exitCode = static_cast<UINT>(number);
        } else {
            put(STD_ERROR_HANDLE, "hvcchild: unknown step " + utf8(step) + "\n");
            return 99;
        }
        if (std::wstring(L" out err bulk fill sleep exit ").find(L" " + step + L" ") != std::wstring::npos) ++i;
    }
    return static_cast<int>(exitCode);
}
