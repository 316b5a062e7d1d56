// Crash dumps: when a machine fault arrives inside a fault-translator scope,
// a minidump of the process is written before the fault becomes a
// cwrpexception. The settings are read once, when the library loads; the
// newest dumps are kept when it unloads.
#pragma once

#include <windows.h>
#include <dbghelp.h>

#include <string>

class CrashDumpInfo {
public:
    // Reads the settings from the configuration key's 32-bit view and makes
    // the dump directory. Never throws: any failure switches dumps off.
    CrashDumpInfo();
    // Deletes the oldest dumps beyond the configured count; never throws.
    ~CrashDumpInfo();
    CrashDumpInfo(const CrashDumpInfo&) = delete;
    CrashDumpInfo& operator=(const CrashDumpInfo&) = delete;

    bool enabled() const { return enabled_; }
    const std::wstring& location() const { return location_; }
    DWORD maxCount() const { return maxCount_; }
    // The full path of a new dump: location, the host's base name and the
    // local time ("agent20240131_235959.dmp").
    std::wstring getFileName();

private:
    void prune();

    bool enabled_ = true;
    DWORD maxCount_ = 10;
    std::wstring location_;
    std::wstring baseName_;
    std::wstring fileName_;
};

// What a dump holds: every thread with its stack, the module lists, the
// exception and the handles; no heap and no data segments, which hold the
// process's secrets (passwords, service answers). Memory that the stacks
// point to is left out for the same reason.
constexpr MINIDUMP_TYPE crashDumpType = static_cast<MINIDUMP_TYPE>(MiniDumpWithHandleData | MiniDumpWithUnloadedModules);

// Whether the directory may take a dump: a directory, no link, owned by
// SYSTEM, Administrators or this process's user, and nobody else may add,
// replace or remove its entries or change its security.
bool dumpDirectoryIsSafe(const std::wstring& location);

// Writes a dump of this process with the fault's pointers. A catch point:
// a failure is logged at level Error and not thrown.
void internalDumpMiniDump(const std::wstring& fileName, EXCEPTION_POINTERS* pointers, MINIDUMP_TYPE type);

// While installed, the fault translator writes a dump (crashDumpType) through info
// before it throws; uninstall before info goes.
void installCrashDumps(CrashDumpInfo& info);
void uninstallCrashDumps();
