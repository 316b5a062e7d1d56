// Shared by the benchmark harnesses: timing, binding exports, paths.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench {

template <class F>
double secondsFor(int iterations, F&& f) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i) f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// An export by its decorated name; the bench cannot go on without it.
template <class T>
T bind(HMODULE module, const char* name) {
    T proc = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!proc) {
        std::fprintf(stderr, "missing export %s\n", name);
        std::exit(1);
    }
    return proc;
}

// The DLL next to the bench; the bench cannot go on without it.
inline HMODULE loadLibrary() {
    HMODULE module = LoadLibraryW(L"hvcdmtutils.dll");
    if (!module) {
        std::fprintf(stderr, "cannot load hvcdmtutils.dll (error %lu)\n", GetLastError());
        std::exit(1);
    }
    return module;
}

// The directory of the running bench, where the DLL and orvexsrv.exe lie.
inline std::wstring binDirectory() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

}  // namespace bench
