// The directory exports: create, rename and remove directory trees.
#include "fs/file.h"
#include "fs/tree.h"
#include "runtime/exportframe.h"

HVC_EXPORT int __cdecl HVC_createDirectory(const char* path) {
    return exportframe::boundary<int>(1, exportframe::OnSuccess::ClearSlot, [&] {
        VDirectory::createDirectory(wstr(exportframe::required(path, "path"), 0), nullptr);
        return 0;
    });
}

// The same work: createDirectory always creates every missing parent.
HVC_EXPORT int __cdecl HVC_createNestedDirectory(const char* path) {
    return exportframe::boundary<int>(1, exportframe::OnSuccess::ClearSlot, [&] {
        VDirectory::createDirectory(wstr(exportframe::required(path, "path"), 0), nullptr);
        return 0;
    });
}

HVC_EXPORT int __cdecl HVC_renameDirectory(const char* from, const char* to) {
    return exportframe::boundary<int>(1, exportframe::OnSuccess::ClearSlot, [&] {
        const std::wstring source = wstr(exportframe::required(from, "from"), 0);
        const std::wstring target = wstr(exportframe::required(to, "to"), 0);
        renameDir(source.c_str(), target.c_str(), true);
        return 0;
    });
}

// A tree that does not exist is removed already. Entries are deleted in
// place, not through a recycler.
HVC_EXPORT int __cdecl HVC_RemoveDirectoryTree(const char* path, int force) {
    return exportframe::boundary<int>(1, exportframe::OnSuccess::ClearSlot, [&] {
        const std::wstring root = wstr(exportframe::required(path, "path"), 0);
        if (root.empty() || !fileExist(root.c_str())) return 0;
        removeDir(root, force != 0, std::wstring());
        return 0;
    });
}
