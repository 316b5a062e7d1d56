// Removal and rename of directory trees on volumes that may hold read-only
// entries, entries the caller has no rights to and entries open elsewhere.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <string>
#include <vector>

// The force step's access: DELETE and FILE_WRITE_ATTRIBUTES.
const ACCESS_MASK forceAccessMask = 0x00010100;

// Takes ownership of the entry and writes a protected DACL that grants mask
// to the token's owner and to Local System, without the deny entries that
// hit this process.
void grantAccess(const wchar_t* path, SE_OBJECT_TYPE objectType, ACCESS_MASK mask);

// What anyone but Administrators and Local System may do in a recycler
// level: traverse it and put a file or directory in.
const ACCESS_MASK recyclerOthersMask = SYNCHRONIZE | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;

// A recycler level is used only when it is a directory itself, no link, and
// one of trustedOwners owns it: anyone else could read or redirect what is
// put there.
bool trustedRecyclerLevel(DWORD attributes, PSID owner, const std::vector<PSID>& trustedOwners);

// <root>\Recycler\{86066D57-9347-46a7-B4DB-971D9EF36D29} of the path's
// volume (a volume mounted in a folder has its own), created when missing.
// Entries are moved there under a fresh name so that their own name is free
// at once, even while they cannot be deleted yet. A level that is a link or
// is owned by another account than Local System, the Administrators or this
// process's is refused with an error.
std::wstring recyclerDir(const std::wstring& path);

// Removes the tree: the files of a directory first, then its
// subdirectories, then the directory. A link (junction, symbolic link,
// mount point) is removed itself, never followed; the path of a file is
// refused without touching the file. With force an entry that resists gets
// the force step and one more try. With a recycler directory each entry is
// moved there first; what then cannot be deleted stays there without error.
void removeDir(const std::wstring& path, bool force, const std::wstring& recycler);

// Removes one file, directly or through the volume's recycler; a missing
// file is no error. After the force step, retries more tries sleepMs apart.
void removeFile(const wchar_t* path, bool force, bool useRecycler, int retries, DWORD sleepMs);

// Renames or moves a directory tree. When one move cannot do it (another
// volume, an existing destination) the entries are moved one by one under a
// destination that carries the source's security, and moved back when that
// fails midway; what cannot go back stays at the destination, named in the
// error, and is never deleted. The caller's privileges stay as they were.
void renameDir(const wchar_t* from, const wchar_t* to, bool overwrite);
