// What a tree removal would meet, found without changing anything: the
// entries in the order removal deals with them, and which of them would need
// the force step.
#pragma once

#include <string>
#include <vector>

struct TreePreviewEntry {
    std::wstring path;
    bool directory = false;
    // A directory link (a reparse point): removed as a link, its target kept.
    bool link = false;
    unsigned long long bytes = 0;
    // Why the entry would resist removal without force: "read-only", "held
    // open", "access denied". Empty when it would go at once.
    std::vector<std::wstring> forceReasons;
};

// The files of each directory, then its subdirectories, then the directory
// itself. A missing path gives no entries.
std::vector<TreePreviewEntry> previewRemoval(const std::wstring& path);
