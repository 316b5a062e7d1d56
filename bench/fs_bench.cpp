// The directory exports against the bare Win32 walk doing the same work, as
// ratios measured in one run: removing a tree of 10,000 files in 100
// directories, and moving it to another volume entry by entry.
// Run under Wine: hvcfsbench.exe [second-volume-drive]   (default V:)
#include <windows.h>

#include <cstdio>
#include <string>

#include "bench/benchutil.h"
#include "exports/hvcdmtutils.h"
#include "runtime/owners.h"

namespace {

using bench::bind;
using bench::secondsFor;

const int directories = 100, filesPerDirectory = 100;

std::wstring dirName(const std::wstring& root, int d) { return root + L"\\d" + std::to_wstring(d); }
std::wstring fileName(const std::wstring& root, int d, int f) {
    return dirName(root, d) + L"\\file" + std::to_wstring(f) + L".txt";
}

bool makeTree(const std::wstring& root) {
    if (!CreateDirectoryW(root.c_str(), nullptr)) return false;
    const std::string content(200, 'x');
    for (int d = 0; d < directories; ++d) {
        if (!CreateDirectoryW(dirName(root, d).c_str(), nullptr)) return false;
        for (int f = 0; f < filesPerDirectory; ++f) {
            UniqueHandle file(
                CreateFileW(fileName(root, d, f).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
            DWORD written = 0;
            if (!file || !WriteFile(file.get(), content.data(), DWORD(content.size()), &written, nullptr)) return false;
        }
    }
    return true;
}

// The bare removal: list, delete the files, recurse, remove the directory.
bool bareRemove(const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((dir + L"\\*.*").c_str(), &data));
    bool ok = true;
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring full = dir + L"\\" + name;
            ok &= (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? bareRemove(full) : DeleteFileW(full.c_str()) != 0;
        } while (FindNextFileW(find.get(), &data));
    }
    find.reset();
    return RemoveDirectoryW(dir.c_str()) && ok;
}

// The bare move across volumes: create each directory there, move each file.
bool bareMove(const std::wstring& from, const std::wstring& to) {
    if (!CreateDirectoryW(to.c_str(), nullptr)) return false;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((from + L"\\*.*").c_str(), &data));
    bool ok = true;
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring source = from + L"\\" + name, target = to + L"\\" + name;
            ok &= (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? bareMove(source, target)
                                                                      : MoveFileW(source.c_str(), target.c_str()) != 0;
        } while (FindNextFileW(find.get(), &data));
    }
    find.reset();
    return RemoveDirectoryW(from.c_str()) && ok;
}

std::wstring scratch(const std::wstring& parent, const wchar_t* what) {
    return parent + L"\\hvcfsbench-" + what + L"-" + std::to_wstring(GetCurrentProcessId());
}

void fail(const char* what) {
    std::fprintf(stderr, "hvcfsbench: %s failed (error %lu)\n", what, GetLastError());
    std::exit(1);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring volume = argc > 1 ? argv[1] : L"V:";
    HMODULE module = bench::loadLibrary();
    auto removeTree = bind<HVC_RemoveDirectoryTree_t>(module, HVC_NAME_RemoveDirectoryTree);
    auto renameDirectory = bind<HVC_renameDirectory_t>(module, HVC_NAME_renameDirectory);
    auto lastError = bind<HVC_GetLastHvcDmtError_t>(module, HVC_NAME_GetLastHvcDmtError);
    wchar_t temp[MAX_PATH];
    std::wstring here(temp, GetTempPathW(MAX_PATH, temp));
    here.pop_back();
    const int files = directories * filesPerDirectory;
    auto narrow = [](const std::wstring& text) { return std::string(text.begin(), text.end()); };

    // Removal.
    const std::wstring a = scratch(here, L"remove-a"), b = scratch(here, L"remove-b");
    if (!makeTree(a) || !makeTree(b)) fail("making the trees");
    double bare = secondsFor(1, [&] {
        if (!bareRemove(a)) fail("the bare removal");
    });
    double exported = secondsFor(1, [&] {
        if (removeTree(narrow(b).c_str(), 0) != 0) fail(lastError());
    });
    std::printf("remove %d files in %d directories: bare walk %.3f s, HVC_RemoveDirectoryTree %.3f s, ratio %.2f\n",
                files, directories, bare, exported, exported / bare);
    bench::result("RemoveDirectoryTree_10000_files_s", exported, bare, 0);

    // Move to the other volume.
    const std::wstring c = scratch(here, L"move-c"), d = scratch(here, L"move-d");
    const std::wstring cThere = scratch(volume, L"move-c"), dThere = scratch(volume, L"move-d");
    if (!makeTree(c) || !makeTree(d)) fail("making the trees");
    bare = secondsFor(1, [&] {
        if (!bareMove(c, cThere)) fail("the bare move");
    });
    exported = secondsFor(1, [&] {
        if (renameDirectory(narrow(d).c_str(), narrow(dThere).c_str()) != 0) fail(lastError());
    });
    std::printf("move %d files in %d directories to %ls: bare MoveFileW walk %.3f s, HVC_renameDirectory %.3f s, "
                "ratio %.2f\n",
                files, directories, volume.c_str(), bare, exported, exported / bare);
    bench::result("renameDirectory_other_volume_10000_files_s", exported, bare, 0);
    bareRemove(cThere);
    bareRemove(dThere);
    return 0;
}
