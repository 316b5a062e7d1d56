// Removal and rename of directory trees on volumes that may hold read-only
// entries, entries the caller has no rights to and entries open elsewhere.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <string>

// The force step's access: DELETE and FILE_WRITE_ATTRIBUTES.
const ACCESS_MASK forceAccessMask = 0x00010100;

// Takes ownership of the entry and writes a protected DACL that grants mask
// to the token's owner and to Local System, without the deny entries that
// hit this process.
void grantAccess(const wchar_t* path, SE_OBJECT_TYPE objectType, ACCESS_MASK mask);

// <root>\Recycler\{86066D57-9347-46a7-B4DB-971D9EF36D29} of the path's
// volume, created when missing. Entries are moved there under a fresh name so
// that their own name is free at once, even while they cannot be deleted yet.
std::wstring recyclerDir(const std::wstring& path);

// Removes the tree: the files of a directory first, then its
// subdirectories, then the directory. With force an entry that resists gets
// the force step and one more try. With a recycler directory each entry is
// moved there first; what then cannot be deleted stays there without error.
void removeDir(const std::wstring& path, bool force, const std::wstring& recycler);

// Removes one file, directly or through the volume's recycler; a missing
// file is no error. After the force step, retries more tries sleepMs apart.
void removeFile(const wchar_t* path, bool force, bool useRecycler, int retries, DWORD sleepMs);

// Renames or moves a directory tree. When one move cannot do it (another
// volume, an existing destination) the entries are moved one by one under a
// destination that carries the source's security, and moved back when that
// fails midway.
void renameDir(const wchar_t* from, const wchar_t* to, bool overwrite);
