// A child for the process-execution tests and benches. Runs its arguments as
// steps, writing through the raw standard handles (no text-mode changes):
//   out TEXT / err TEXT    the text to stdout / stderr
//   zero                   "ab", a zero byte, "cd" to stdout
//   bulk N                 N bytes in 4 KiB chunks alternately to stdout and
//                          stderr; the chunks of stream s, chunk i are filled
//                          with the byte 'a' + (i + s) % 26
//   fill N                 N bytes of 'x' to stdout in 64 KiB writes
//   close-out / close-err  closes that stream
//   echo-in                reads stdin to its end and writes it to stdout
//   count-in               reads stdin to its end and writes its length
//   env                    the whole environment block, one NAME=VALUE a line
//   cwd                    the working directory
//   hold MUTEX             opens (or creates) a named mutex and holds it until the end
//   sleep MS               sleeps
//   exit N                 ends with exit code N (the default is 0)
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "runtime/owners.h"

namespace {

void put(DWORD stream, const void* data, DWORD size) {
    DWORD written = 0;
    WriteFile(GetStdHandle(stream), data, size, &written, nullptr);
}

void putText(DWORD stream, const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    if (n) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr, nullptr);
    put(stream, bytes.data(), static_cast<DWORD>(bytes.size()));
}

std::string readInput() {
    std::string all;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0)
        all.append(buffer, read);
    return all;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    UINT exitCode = 0;
    std::vector<UniqueHandle> held;  // abandoned when the child is killed
    for (int i = 1; i < argc; ++i) {
        const std::wstring step = argv[i];
        const wchar_t* argument = i + 1 < argc ? argv[i + 1] : L"";
        if (step == L"out" || step == L"err") {
            putText(step == L"out" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, argument);
            ++i;
        } else if (step == L"zero") {
            put(STD_OUTPUT_HANDLE, "ab\0cd", 5);
        } else if (step == L"bulk") {
            const unsigned long long total = std::wcstoull(argument, nullptr, 10);
            ++i;
            std::string chunk(4096, '\0');
            unsigned long long done = 0;
            for (unsigned index[2] = {0, 0}; done < total;) {
                const int stream = static_cast<int>((done / 4096) % 2);
                const DWORD size = static_cast<DWORD>(total - done < 4096 ? total - done : 4096);
                chunk.assign(size, static_cast<char>('a' + (index[stream]++ + stream) % 26));
                put(stream == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, chunk.data(), size);
                done += size;
            }
        } else if (step == L"fill") {
            unsigned long long left = std::wcstoull(argument, nullptr, 10);
            ++i;
            const std::string block(65536, 'x');
            for (; left > 0;) {
                const DWORD size = static_cast<DWORD>(left < block.size() ? left : block.size());
                put(STD_OUTPUT_HANDLE, block.data(), size);
                left -= size;
            }
        } else if (step == L"close-out" || step == L"close-err") {
            const DWORD stream = step == L"close-out" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
            UniqueHandle(GetStdHandle(stream)).reset();
            SetStdHandle(stream, nullptr);
        } else if (step == L"echo-in") {
            const std::string input = readInput();
            put(STD_OUTPUT_HANDLE, input.data(), static_cast<DWORD>(input.size()));
        } else if (step == L"count-in") {
            putText(STD_OUTPUT_HANDLE, std::to_wstring(readInput().size()));
        } else if (step == L"env") {
            UniqueAny<wchar_t*, &::FreeEnvironmentStringsW> block(GetEnvironmentStringsW());
            for (const wchar_t* entry = block.get(); entry && *entry; entry += std::wcslen(entry) + 1)
                putText(STD_OUTPUT_HANDLE, std::wstring(entry) + L"\n");
        } else if (step == L"cwd") {
            wchar_t directory[MAX_PATH];
            putText(STD_OUTPUT_HANDLE, std::wstring(directory, GetCurrentDirectoryW(MAX_PATH, directory)));
        } else if (step == L"hold") {
            held.emplace_back(CreateMutexW(nullptr, FALSE, argument));  // the test may have made it
            WaitForSingleObject(held.back().get(), INFINITE);
            ++i;
        } else if (step == L"sleep") {
            Sleep(static_cast<DWORD>(std::wcstoul(argument, nullptr, 10)));
            ++i;
        } else if (step == L"exit") {
            exitCode = static_cast<UINT>(std::wcstoul(argument, nullptr, 10));
            ++i;
        } else {
            putText(STD_ERROR_HANDLE, L"hvcchild: unknown step " + step + L"\n");
            return 99;
        }
    }
    return static_cast<int>(exitCode);
}
