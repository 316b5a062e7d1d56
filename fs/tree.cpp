#include "fs/tree.h"

#include <exception>
#include <functional>

#include <shlwapi.h>

#include <vector>

#include "fs/file.h"
#include "fs/filename.h"
#include "runtime/cancellation.h"
#include "runtime/catchpoint.h"
#include "runtime/log.h"
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
// How often entries that keep appearing in a source are moved after the
// others before the move gives up.
const int moveRounds = 4;

bool isLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool present(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void clearReadOnly(const std::wstring& entry) {
    setFileAttributes(entry, getFileAttributes(entry) & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

// What removal does to an entry that resists.
void forceStep(const std::wstring& entry) {
    grantAccess(entry.c_str(), SE_FILE_OBJECT, forceAccessMask);
    clearReadOnly(entry);
}

std::wstring uniqueName() { return newGuidText(false); }

// Administrators and Local System may do anything. Anyone else may only put
// entries in, on this level alone: nobody can list, rename or delete what
// another account put there.
AclSpec recyclerSpec() {
    return AclSpec::access(VSID::admins(), GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, false) +
           AclSpec::access(VSID::system(), GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, false) +
           AclSpec::access(VSID::everyone(), recyclerOthersMask, NO_INHERITANCE, false);
}

// The full, normalised form: separators as '\', "." and ".." resolved,
// relative to the current directory, no trailing separator.
std::wstring fullPath(const std::wstring& path) {
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed != 0) {
        std::vector<wchar_t> buffer(needed + 1, L'\0');
        if (GetFullPathNameW(path.c_str(), needed, buffer.data(), nullptr) != 0) {
            const std::wstring full = buffer.data();
            // A drive root keeps its separator.
            return full.size() <= 3 ? full : VFileName::trimTrailingSeparators(full);
        }
    }
    throwOSError(L"GetFullPathName(" + path + L")", GetLastError(), VLOCATION("fullPath"));
}

// inner is outer or lies inside it; both in full form.
bool within(const std::wstring& inner, const std::wstring& outer) { return VFileName::isPrefix(outer, inner); }

// The volume's root; a volume mounted in a folder has its own.
std::wstring volumeRoot(const std::wstring& full) {
    std::vector<wchar_t> buffer(full.size() + MAX_PATH, L'\0');
    if (!GetVolumePathNameW(full.c_str(), buffer.data(), static_cast<DWORD>(buffer.size())))
        throwOSError(L"GetVolumePathName(" + full + L")", GetLastError(), VLOCATION("recyclerDir"));
    return buffer.data();
}

// Makes one level of the recycler when it is missing (another process
// making it meanwhile is no failure), then vets it through a handle that
// does not follow links, and writes its protected DACL, which also closes a
// level that an earlier version left open to everyone.
void ensureRecyclerLevel(const std::wstring& dir) {
    SecurityDescriptor descriptor(recyclerSpec(), false);
    // Entries the volume root hands down would let users in again.
    SetSecurityDescriptorControl(descriptor.descriptor(), SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    if (!fileExist(dir.c_str())) {
        try {
            makeDir(dir, descriptor.attributes());
        } catch (const ThreadCancelation::ThreadCanceledException&) {
            throw;
        } catch (...) {
            if (!fileExist(dir.c_str())) throw;
        }
    }
    UniqueHandle level(CreateFileW(dir.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!level) throwOSError(L"Open file '" + dir + L"'", GetLastError(), VLOCATION("recyclerDir"));
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(level.get(), &info))
        throwOSError(L"GetFileInformationByHandle(" + dir + L")", GetLastError(), VLOCATION("recyclerDir"));
    PSID owner = nullptr;
    UniqueLocalPtr<void> ownerBlock;
    DWORD result = GetSecurityInfo(level.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                   nullptr, nullptr, ownerBlock.put());
    if (result != ERROR_SUCCESS) throwOSError(L"GetSecurityInfo(" + dir + L")", result, VLOCATION("recyclerDir"));
    // Wine shows a Unix link on the path only; an unreadable path counts as a link.
    const DWORD attributes = info.dwFileAttributes | GetFileAttributesW(dir.c_str());
    // The token's default owner is left out: it may be a group that others hold too.
    const AccountSid trusted[] = {AccountSid::system(), AccountSid::admins(), tokenUser()};
    std::vector<PSID> trustedSids;
    for (const AccountSid& sid : trusted) trustedSids.push_back(sid.get());
    if (!trustedRecyclerLevel(attributes, owner, trustedSids))
        throw vexception(format(L"The recycler directory %s is refused: it is a link or no directory, or another "
                                L"account owns it",
                                dir.c_str()),
                         VLOCATION("recyclerDir"));
    result = SetSecurityInfo(level.get(), SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                             descriptor.dacl(), nullptr);
    if (result != ERROR_SUCCESS) throwOSError(L"SetSecurityInfo(" + dir + L")", result, VLOCATION("recyclerDir"));
}

// The entries of one directory, split as removal deals with them. Links
// are leaves: never listed into, never given the force step (which would
// rewrite the target's owner and DACL).
struct Listing {
    std::vector<std::wstring> files;
    std::vector<std::wstring> directories;
    std::vector<std::pair<std::wstring, bool>> links;  // path, is a directory
};

bool list(const std::wstring& pattern, const std::wstring& path, Listing& listing) {
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW(pattern.c_str(), &data));
    if (!find) return false;
    do {
        const std::wstring name = data.cFileName;
        const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (directory && (name.empty() || name == L"." || name == L"..")) continue;
        const std::wstring full = VFileName::combine(path, name);
        if (isLink(data.dwFileAttributes))
            listing.links.emplace_back(full, directory);
        else if (directory)
            listing.directories.push_back(full);
        else
            listing.files.push_back(full);
    } while (FindNextFileW(find.get(), &data));
    return true;
}

bool emptyDirectory(const std::wstring& dir) {
    VFileFinder finder;
    for (bool found = finder.first(VFileName::combine(dir, L"*.*")); found; found = finder.next())
        if (!finder.isDots()) return false;
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

// A link goes itself, in place and without the force step: a move into
// the recycler is no rename of the link everywhere (Wine moves the target).
void removeLink(const std::wstring& link, bool isDirectory) {
    if (isDirectory ? RemoveDirectoryW(link.c_str()) : DeleteFileW(link.c_str())) return;
    const DWORD error = GetLastError();
    if (isDirectory) throwOSError(L"delete directory " + link, error, VLOCATION_AT("removeDir", 288));
    throwOSError(L"delete file " + link, error, VLOCATION_AT("removeDir", 259));
}

// ---- the entry-by-entry rename

enum class EntryKind { File, Directory, Link };

struct MovedEntry {
    std::wstring name;
    EntryKind kind;
};

// What a failed entry-by-entry move must undo. Paths in full form.
struct MoveRecord {
    std::wstring from, to;
    bool created = false;   // to was made by this move
    std::wstring recycled;  // where the emptied source went in the recycler
    std::vector<MovedEntry> moved;
};

// A file moves with MoveFileW (across volumes a copy, then the source goes).
// A copy that a failed move left behind goes: the source still holds it.
void moveFile(const std::wstring& source, const std::wstring& target) {
    const bool targetExisted = present(target);
    try {
        renameFile(source, target);
    } catch (...) {
        if (!targetExisted && present(source) && present(target)) {
            SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(target.c_str());
        }
        throw;
    }
}

void moveEntry(const std::wstring& source, const std::wstring& target, EntryKind kind) {
    switch (kind) {
    case EntryKind::File: moveFile(source, target); break;
    case EntryKind::Directory: renameDir(source.c_str(), target.c_str(), false); break;
    // A link moves only as itself: a copy would follow it to its target.
    case EntryKind::Link: VFile::moveEx(source, target, 0); break;
    }
}

// Moves every entry of dir (but a directory that holds the destination) to
// the destination, recording each; false when there was none to move.
bool moveEntries(const std::wstring& dir, MoveRecord& record) {
    bool any = false;
    VFileFinder finder;
    for (bool found = finder.first(VFileName::combine(dir, L"*.*")); found; found = finder.next()) {
        if (finder.isDots()) continue;
        const std::wstring name = finder.name();
        const std::wstring source = VFileName::combine(dir, name);
        const std::wstring target = VFileName::combine(record.to, name);
        const EntryKind kind = isLink(finder.attributes()) ? EntryKind::Link
                               : finder.isDirectory()      ? EntryKind::Directory
                                                           : EntryKind::File;
        // The destination lies inside this one: it stays where it is.
        if (kind == EntryKind::Directory && within(record.to, source)) continue;
        any = true;
        if (kind != EntryKind::Directory) progress::note(progress::Step::Move, source);
        try {
            moveEntry(source, target, kind);
        } catch (...) {
            // A directory's move may be complete when a cancellation leaves it.
            if (!present(source) && present(target)) record.moved.push_back({name, kind});
            throw;
        }
        record.moved.push_back({name, kind});
    }
    // Closed first: no handle of ours may keep the emptied source in place.
    finder.close();
    return any;
}

// Moves the entries of dir until a listing finds none left.
void moveAll(const std::wstring& dir, MoveRecord& record) {
    for (int round = 1; moveEntries(dir, record); ++round)
        if (round == moveRounds)
            throw vexception(format(L"New entries keep appearing in %s", dir.c_str()), VLOCATION("renameDir"));
}

// The emptied source goes through its volume's recycler, so that its name
// is free at once; an entry that appeared in it after the last listing goes
// where the others went. Nothing here deletes more than an empty directory.
// A recycler that is refused or cannot be made costs only that: the empty
// source is removed in place.
void removeEmptiedSource(MoveRecord& record) {
    std::wstring recycler;
    try {
        recycler = recyclerDir(record.from);
    } catch (const ThreadCancelation::ThreadCanceledException&) {
        throw;
    } catch (const vexception& e) {
        logMessage(Warning, L"%s; the emptied source %s is removed in place", e.message().c_str(),
                   record.from.c_str());
    } catch (...) {
    }
    std::wstring target = record.from;
    if (!recycler.empty()) {
        target = VFileName::combine(recycler, uniqueName());
        VFile::moveEx(record.from, target, 0);
        record.recycled = target;
        moveAll(target, record);
    }
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(target.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (RemoveDirectoryW(target.c_str())) return;
    const DWORD error = GetLastError();
    // Empty but held open elsewhere: it stays in the recycler.
    if (!recycler.empty() && emptyDirectory(target)) return;
    throwOSError(L"delete directory " + target, error, VLOCATION_AT("removeDir", 288));
}

// Puts back what a failed move had moved: the source out of the recycler
// first, then each entry. The destination this move made goes only when
// every entry went back, and then only while it is empty: nothing is
// deleted with its content. Returns what stayed where.
std::wstring rollBack(const MoveRecord& record, std::exception_ptr& canceled) {
    auto attempt = [&](const std::function<void()>& step) {
        try {
            step();
            return true;
        } catch (const ThreadCancelation::ThreadCanceledException&) {
            // The thread still ends, once everything is back.
            canceled = std::current_exception();
        } catch (...) {
        }
        return false;
    };
    std::wstring stayed;
    auto note = [&](const std::wstring& what) { stayed += (stayed.empty() ? L"" : L"; ") + what; };
    std::wstring home = record.from;
    if (!record.recycled.empty() && !attempt([&] { VFile::moveEx(record.recycled, record.from, 0); })) {
        home = record.recycled;
        note(L"the source stays at '" + home + L"'");
    }
    for (auto entry = record.moved.rbegin(); entry != record.moved.rend(); ++entry) {
        const std::wstring at = VFileName::combine(record.to, entry->name);
        if (!attempt([&] { moveEntry(at, VFileName::combine(home, entry->name), entry->kind); }))
            note(L"'" + entry->name + L"' stays at '" + at + L"'");
    }
    if (record.created && stayed.empty()) RemoveDirectoryW(record.to.c_str());
    return stayed;
}

void renameDirBody(const std::wstring& givenFrom, const std::wstring& givenTo, bool overwrite) {
    progress::note(progress::Step::Move, givenFrom);
    const DWORD moveFlags = overwrite ? MOVEFILE_REPLACE_EXISTING : 0;
    if (MoveFileExW(givenFrom.c_str(), givenTo.c_str(), moveFlags)) return;
    // Full forms, so that "inside the source" and the volume are decided on
    // what the names mean, not on how they are spelled.
    const std::wstring from = fullPath(givenFrom), to = fullPath(givenTo);
    // A link moves only as itself, which the one-step move could not do.
    const DWORD fromAttributes = GetFileAttributesW(from.c_str());
    if (fromAttributes != INVALID_FILE_ATTRIBUTES && isLink(fromAttributes)) {
        VFile::moveEx(from, to, moveFlags);
        return;
    }

    // Entry by entry, under a destination that carries the source's
    // security. The privileges are switched in a private copy of the
    // thread's token, not in the process token: the caller's privileges stay
    // as they were whatever happens, and renames on other threads cannot
    // switch them off under each other, without a lock that would make them
    // wait for each other.
    MoveRecord record;
    record.from = from;
    record.to = to;
    {
        PrivateThreadToken privileges;
        setPrivilege(L"SeSecurityPrivilege", true);
        setPrivilege(L"SeRestorePrivilege", true);
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
            record.created = true;
        }
    }

    try {
        moveAll(from, record);
        if (!within(to, from)) removeEmptiedSource(record);
    } catch (...) {
        // Whatever stopped the move, a cancellation too, passes on once the
        // tree is back, with what could not go back named.
        std::exception_ptr canceled;
        const std::wstring stayed = rollBack(record, canceled);
        if (!stayed.empty())
            logMessage(Error, L"RenameDir('%s', '%s') failed; not moved back: %s", from.c_str(), to.c_str(),
                       stayed.c_str());
        if (canceled) std::rethrow_exception(canceled);
        try {
            throw;
        } catch (vexception& e) {
            if (!stayed.empty()) e.appendMessage(L"; not moved back: " + stayed);
            throw;
        }
    }
}

}  // namespace

bool trustedRecyclerLevel(DWORD attributes, PSID owner, const std::vector<PSID>& trustedOwners) {
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || isLink(attributes) || !owner) return false;
    for (PSID trusted : trustedOwners)
        if (trusted && EqualSid(owner, trusted)) return true;
    return false;
}

void grantAccess(const wchar_t* path, SE_OBJECT_TYPE objectType, ACCESS_MASK mask) {
    const std::wstring name = path;
    takeOwnership(name, objectType);
    const Acl old = readObjectDacl(name, objectType);
    const AccountSid owner = tokenOwner();
    const AccountSid user = tokenUser();
    const UniqueMallocPtr<TOKEN_GROUPS> groups = tokenGroups();
    TokenIdentity identity{owner.get(), user.get(), {}};
    for (DWORD i = 0; i < groups.get()->GroupCount; ++i) identity.groups.push_back(groups.get()->Groups[i].Sid);
    writeObjectDacl(name, objectType, forcedDacl(old.get(), identity, mask));
}

std::wstring recyclerDir(const std::wstring& path) {
    const std::wstring base = VFileName::combine(volumeRoot(fullPath(path)), recyclerName);
    ensureRecyclerLevel(base);
    const std::wstring dir = VFileName::combine(base, recyclerSubdirectory);
    ensureRecyclerLevel(dir);
    return dir;
}

void removeDir(const std::wstring& path, bool force, const std::wstring& recycler) {
    // Not a directory: nothing is touched, force or not.
    const DWORD attributes = getFileAttributes(path);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        throwOSError(L"delete directory " + path, ERROR_DIRECTORY, VLOCATION_AT("removeDir", 288));
    if (isLink(attributes)) return removeLink(path, true);

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

    for (const auto& link : listing.links) removeLink(link.first, link.second);
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
