#include "fs/tree.h"

#include <functional>

#include <shlwapi.h>

#include <vector>

#include "fs/file.h"
#include "fs/filename.h"
#include "runtime/cancellation.h"
#include "runtime/catchpoint.h"
#include "runtime/owners.h"
#include "runtime/progress.h"
#include "runtime/setranslator.h"
#include "runtime/sysobjects.h"
#include "runtime/text.h"
#include "security/acl.h"
#include "security/sid.h"
#include "security/token.h"

namespace {

const wchar_t recyclerName[] = L"Recycler";
const wchar_t recyclerSubdirectory[] = L"{86066D57-9347-46a7-B4DB-971D9EF36D29}";

void clearReadOnly(const std::wstring& entry) {
    setFileAttributes(entry, getFileAttributes(entry) & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

// What removal does to an entry that resists.
void forceStep(const std::wstring& entry) {
    grantAccess(entry.c_str(), SE_FILE_OBJECT, forceAccessMask);
    clearReadOnly(entry);
}

std::wstring uniqueName() { return newGuidText(false); }

// Administrators and Local System may do anything; everyone else may add,
// list and delete entries but not read or change their contents.
AclSpec recyclerSpec() {
    return AclSpec::access(VSID::admins(), GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, false) +
           AclSpec::access(VSID::system(), GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, false) +
           AclSpec::access(VSID::everyone(), 0x001300E7, CONTAINER_INHERIT_ACE, false) +
           AclSpec::access(VSID::everyone(), 0x00130080, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, false);
}

// Creates one level of the recycler; another process creating it meanwhile
// is no failure.
void ensureRecyclerLevel(const std::wstring& dir) {
    if (!dir.empty() && fileExist(dir.c_str())) return;
    SecurityDescriptor descriptor(recyclerSpec(), false);
    try {
        VDirectory::createDirectory(dir, descriptor.attributes());
    } catch (const ThreadCancelation::ThreadCanceledException&) {
        throw;
    } catch (...) {
        if (dir.empty() || !fileExist(dir.c_str())) throw;
    }
}

// The full path of a relative one, so that its volume is known.
std::wstring absolutePath(const std::wstring& path) {
    if (!PathIsRelativeW(path.c_str())) return path;
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed != 0) {
        std::vector<wchar_t> buffer(needed + 1, L'\0');
        if (GetFullPathNameW(path.c_str(), needed, buffer.data(), nullptr) != 0) return buffer.data();
    }
    throwOSError(L"GetFullPathName(" + path + L")", GetLastError(), VLOCATION("recyclerDir"));
}

// The entries of one directory, split as removal deals with them.
struct Listing {
    std::vector<std::wstring> files;
    std::vector<std::wstring> directories;
};

bool list(const std::wstring& pattern, const std::wstring& path, Listing& listing) {
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW(pattern.c_str(), &data));
    if (!find) return false;
    do {
        const std::wstring name = data.cFileName;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (name.empty() || name == L"." || name == L"..") continue;
            listing.directories.push_back(VFileName::combine(path, name));
        } else {
            listing.files.push_back(VFileName::combine(path, name));
        }
    } while (FindNextFileW(find.get(), &data));
    return true;
}

// The recycler move of removal: without force a failure raises here, with
// force the entry gets the force step and moveEx raises its own error.
void moveToRecycler(const std::wstring& entry, const std::wstring& target, bool force, unsigned line) {
    if (MoveFileExW(entry.c_str(), target.c_str(), 0)) return;
    if (!force) {
        const DWORD error = GetLastError();
        throwOSError(L"Move file '" + entry + L"' to '" + target + L"'", error,
                     VLOCATION_AT("removeDir", line));
    }
    forceStep(entry);
    VFile::moveEx(entry, target, 0);
}

void renameDirBody(const std::wstring& from, const std::wstring& to, bool overwrite) {
    progress::note(progress::Step::Move, from);
    if (MoveFileExW(from.c_str(), to.c_str(), overwrite ? MOVEFILE_REPLACE_EXISTING : 0)) return;

    // Entry by entry, under a destination that carries the source's security.
    setPrivilege(L"SeSecurityPrivilege", true);
    setPrivilege(L"SeRestorePrivilege", true);
    bool created = false;
    {
        PSID owner = nullptr, group = nullptr;
        PACL dacl = nullptr, sacl = nullptr;
        UniqueLocalPtr<void> descriptor;
        getFileSecurityInfo(from,
                            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                SACL_SECURITY_INFORMATION,
                            &owner, &group, &dacl, &sacl, descriptor);
        bool notDirectory = false;
        if (VFile::exists(to, &notDirectory)) {
            if (!overwrite)
                throw vexception(format(L"Directory %s already exists", to.c_str()), VLOCATION_AT("renameDir", 983));
            if (notDirectory)
                throw vexception(format(L"File %s already exists", to.c_str()), VLOCATION_AT("renameDir", 985));
            setFileAccess(to, DACL_SECURITY_INFORMATION, descriptor.get());
        } else {
            SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
            VDirectory::createDirectory(to, &attributes);
            created = true;
        }
        setPrivilege(L"SeRestorePrivilege", false);
        setPrivilege(L"SeSecurityPrivilege", false);
    }

    std::vector<std::wstring> movedFiles, movedDirectories;
    try {
        VFileFinder finder;
        for (bool found = finder.first(VFileName::combine(from, L"*.*")); found; found = finder.next()) {
            if (finder.isDots()) continue;
            const std::wstring name = finder.name();
            const std::wstring source = VFileName::combine(from, name);
            const std::wstring target = VFileName::combine(to, name);
            if (finder.isDirectory()) {
                // The destination lies inside this one: it stays where it is.
                if (VFileName::isPrefix(source, to)) continue;
                renameDir(source.c_str(), target.c_str(), false);
                movedDirectories.push_back(name);
            } else {
                progress::note(progress::Step::Move, source);
                renameFile(source, target);
                movedFiles.push_back(name);
            }
        }
        // Closed first: no handle of ours may keep the emptied source in place.
        finder.close();
        if (!VFileName::isPrefix(from, to)) removeDir(from, true, recyclerDir(from));
    } catch (...) {
        // Whatever stopped the move, a cancellation too, is passed on
        // unchanged once the tree is back in place.
        for (const std::wstring& name : movedFiles)
            ignoreFailure([&] { renameFile(VFileName::combine(to, name), VFileName::combine(from, name)); });
        for (const std::wstring& name : movedDirectories)
            ignoreFailure([&] {
                renameDir(VFileName::combine(to, name).c_str(), VFileName::combine(from, name).c_str(), false);
            });
        if (created) ignoreFailure([&] { removeDir(to, true, std::wstring()); });
        throw;
    }
}

}  // namespace

void grantAccess(const wchar_t* path, SE_OBJECT_TYPE objectType, ACCESS_MASK mask) {
    const std::wstring name = path;
    takeOwnership(name, objectType);
    Acl kept = readObjectDacl(name, objectType);
    if (!kept.isNull()) kept.mapGeneric();

    // Deny entries that hit this process go.
    const AccountSid owner = tokenOwner();
    const AccountSid user = tokenUser();
    const AccountSid system = AccountSid::system();
    const UniqueMallocPtr<TOKEN_GROUPS> groups = tokenGroups();
    for (DWORD i = 0; i < groups.get()->GroupCount; ++i) kept.removeSid(groups.get()->Groups[i].Sid, true);
    kept.removeSid(user.get(), true);
    if (!EqualSid(owner.get(), user.get())) kept.removeSid(owner.get(), true);
    kept.removeSid(system.get(), true);

    const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    Acl granted;
    granted.add(Ace(ACCESS_ALLOWED_ACE_TYPE, inherit, mask, owner.get()).get());
    granted.add(Ace(ACCESS_ALLOWED_ACE_TYPE, inherit, mask, system.get()).get());
    if (!kept.isNull()) granted.appendAll(kept.get());
    writeObjectDacl(name, objectType, granted);
}

std::wstring recyclerDir(const std::wstring& path) {
    const std::wstring base = VFileName::combine(VFileName::root(absolutePath(path)), recyclerName);
    ensureRecyclerLevel(base);
    const std::wstring dir = VFileName::combine(base, recyclerSubdirectory);
    ensureRecyclerLevel(dir);
    return dir;
}

void removeDir(const std::wstring& path, bool force, const std::wstring& recycler) {
    const std::wstring pattern = VFileName::combine(path, L"*.*");
    Listing listing;
    if (!list(pattern, path, listing) && force) {
        DWORD error = GetLastError();
        if (error != ERROR_NO_DATA && error != ERROR_NO_MORE_FILES) {
            forceStep(path);
            listing = Listing();
            list(pattern, path, listing);
        }
    }

    for (const std::wstring& file : listing.files) {
        progress::note(progress::Step::Remove, file);
        const std::wstring target = recycler.empty() ? file : VFileName::combine(recycler, uniqueName());
        if (!recycler.empty()) moveToRecycler(file, target, force, 247);
        bool deleted = DeleteFileW(target.c_str()) != FALSE;
        DWORD error = deleted ? 0 : GetLastError();
        if (!deleted && force) {
            forceStep(target);
            deleted = DeleteFileW(target.c_str()) != FALSE;
            if (!deleted) error = GetLastError();
        }
        // Through a recycler an undeletable file just stays there.
        if (!deleted && recycler.empty())
            throwOSError(L"delete file " + target, error, VLOCATION_AT("removeDir", 259));
    }

    for (const std::wstring& directory : listing.directories) removeDir(directory, force, recycler);

    progress::note(progress::Step::Remove, path);
    clearReadOnly(path);
    std::wstring target = path;
    if (!recycler.empty()) {
        target = VFileName::combine(recycler, uniqueName());
        moveToRecycler(path, target, force, 276);
    }
    if (RemoveDirectoryW(target.c_str())) return;
    DWORD error = GetLastError();
    if (force) {
        forceStep(target);
        if (RemoveDirectoryW(target.c_str())) return;
        error = GetLastError();
    }
    if (recycler.empty()) throwOSError(L"delete directory " + target, error, VLOCATION_AT("removeDir", 288));
}

namespace {

// One attempt, one more after the force step when asked, then up to
// `retries` more after a pause each; true as soon as one succeeds.
bool persist(const wchar_t* path, bool force, int retries, DWORD sleepMs, const std::function<bool()>& attempt) {
    bool done = attempt();
    if (!done && force) {
        forceStep(path);
        done = attempt();
    }
    for (int i = 0; !done && i < retries; ++i) {
        Sleep(sleepMs);
        done = attempt();
    }
    return done;
}

}  // namespace

void removeFile(const wchar_t* path, bool force, bool useRecycler, int retries, DWORD sleepMs) {
    if (useRecycler) {
        const std::wstring target = VFileName::combine(recyclerDir(path), uniqueName());
        auto move = [&] { return MoveFileExW(path, target.c_str(), 0) || GetLastError() == ERROR_FILE_NOT_FOUND; };
        if (!persist(path, force, retries, sleepMs, move)) {
            const DWORD error = GetLastError();
            throwOSError(std::wstring(L"Move file '") + path + L"' to '" + target + L"'", error,
                         VLOCATION_AT("removeFile", 840));
        }
        // What cannot be deleted yet stays in the recycler.
        DeleteFileW(target.c_str());
        return;
    }
    auto remove = [&] { return DeleteFileW(path) || GetLastError() == ERROR_FILE_NOT_FOUND; };
    if (!persist(path, force, retries, sleepMs, remove)) {
        const DWORD error = GetLastError();
        throwOSError(std::wstring(L"DeleteFile '") + path + L"'", error, VLOCATION_AT("removeFile", 863));
    }
}

void renameDir(const wchar_t* from, const wchar_t* to, bool overwrite) {
    SeTranslatorScope faults;
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
    catchPoint([&] { return format(L"RenameDir('%s', '%s')", from, to); }, VCATCH_SITE_AT("renameDir", 1040),
               [&] { renameDirBody(from, to, overwrite); });
}
