#include "fs/treepreview.h"

#include <windows.h>

#include <utility>

#include "fs/filename.h"
#include "runtime/owners.h"

namespace {

// Opening for deletion, sharing everything, tells what a delete would meet
// from other processes and from the entry's access list.
void probeDelete(TreePreviewEntry& entry, bool readOnly) {
    UniqueHandle handle(CreateFileW(entry.path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
    if (handle) return;
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
        entry.forceReasons.push_back(L"held open");
    else if (error == ERROR_ACCESS_DENIED && !readOnly)  // a read-only entry refuses for that reason already
        entry.forceReasons.push_back(L"access denied");
}

TreePreviewEntry linkEntry(const std::wstring& path) {
    TreePreviewEntry entry;
    entry.path = path;
    entry.directory = entry.link = true;
    return entry;
}

void previewDirectory(const std::wstring& path, std::vector<TreePreviewEntry>& entries) {
    std::vector<std::pair<std::wstring, bool>> directories;  // path, link
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW(VFileName::combine(path, L"*.*").c_str(), &data));
    const DWORD listError = find ? 0 : GetLastError();
    for (bool found = find.valid(); found; found = FindNextFileW(find.get(), &data)) {
        const std::wstring name = data.cFileName;
        const std::wstring full = VFileName::combine(path, name);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!name.empty() && name != L"." && name != L"..")
                directories.emplace_back(full, (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
            continue;
        }
        TreePreviewEntry entry;
        entry.path = full;
        entry.bytes = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        const bool readOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
        if (readOnly) entry.forceReasons.push_back(L"read-only");
        probeDelete(entry, readOnly);
        entries.push_back(std::move(entry));
    }
    find.reset();
    for (const auto& directory : directories) {
        if (directory.second)
            entries.push_back(linkEntry(directory.first));
        else
            previewDirectory(directory.first, entries);
    }
    // Removal clears a directory's read-only attribute itself; a directory it
    // cannot list needs the force step to get at its entries.
    TreePreviewEntry self;
    self.path = path;
    self.directory = true;
    if (listError == ERROR_ACCESS_DENIED) self.forceReasons.push_back(L"access denied");
    probeDelete(self, false);
    entries.push_back(std::move(self));
}

}  // namespace

std::vector<TreePreviewEntry> previewRemoval(const std::wstring& path) {
    std::vector<TreePreviewEntry> entries;
    const DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return entries;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        entries.push_back(linkEntry(path));
    else
        previewDirectory(path, entries);
    return entries;
}
