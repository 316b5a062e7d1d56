#include "fs/crashdump.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include <aclapi.h>
#include <sddl.h>

#include "fs/file.h"
#include "fs/filename.h"
#include "fs/tree.h"
#include "runtime/cancellation.h"
#include "runtime/catchpoint.h"
#include "runtime/log.h"
#include "runtime/registry.h"
#include "runtime/setranslator.h"
#include "runtime/sysobjects.h"
#include "runtime/text.h"

namespace {

std::atomic<CrashDumpInfo*> installed{nullptr};

void dumpOnFault(unsigned, EXCEPTION_POINTERS* pointers) {
    CrashDumpInfo* info = installed.load();
    if (!info || !info->enabled() || !pointers) return;
    // The directory is checked again: it may have been swapped since the load.
    if (!dumpDirectoryIsSafe(info->location())) {
        logMessage(Error, L"Unable to generate dump file: the directory %ls is not safe", info->location().c_str());
        return;
    }
    internalDumpMiniDump(info->getFileName(), pointers, crashDumpType);
}

// Only SYSTEM, Administrators and this process's user: a dump holds stacks.
bool trustedSid(PSID sid, PSID user) {
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           EqualSid(sid, user);
}

// Rights that let a holder put, replace or remove entries, or change the
// directory's security.
const ACCESS_MASK changingRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                   FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                   GENERIC_ALL | MAXIMUM_ALLOWED | ACCESS_SYSTEM_SECURITY;

// Owner trusted, and nobody else may change the directory's entries.
bool securityIsSafe(HANDLE directory) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    UniqueLocalPtr<void> descriptor;
    if (GetSecurityInfo(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, descriptor.put()) != ERROR_SUCCESS || !owner || !dacl)
        return false;
    UniqueLocalPtr<void> userSid;
    if (!ConvertStringSidToSidW(processUserSid().c_str(), userSid.put())) return false;
    if (!trustedSid(owner, userSid.get())) return false;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) return false;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;  // a denial only narrows
        auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & changingRights) && !trustedSid(&allowed->SidStart, userSid.get())) return false;
    }
    return true;
}

const wchar_t dumpDirectorySecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Makes the directory (missing parents as usual, the directory itself with
// the protected DACL); an existing one is used only when it is safe.
void prepareDumpDirectory(const std::wstring& location) {
    if (!fileExist(location.c_str())) {
        UniqueLocalPtr<void> descriptor =
            securityDescriptor(dumpDirectorySecurity, VLOCATION("CrashDumpInfo::CrashDumpInfo"));
        VDirectory::createDirectory(VFileName::parent(location), nullptr);
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
        makeDir(location, &attributes);
    }
    if (!dumpDirectoryIsSafe(location))
        throw vexception(L"The crash dump directory " + location + L" is not safe",
                         VLOCATION("CrashDumpInfo::CrashDumpInfo"));
}

// Another name for the same second: the stamp and a random part.
std::wstring withRandomPart(const std::wstring& fileName) {
    return VFileName::removeExtension(fileName) + L"_" + newGuidText(true).substr(0, 8) + L".dmp";
}

}  // namespace

bool dumpDirectoryIsSafe(const std::wstring& location) {
    DWORD attributes = GetFileAttributesW(location.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    UniqueHandle directory(CreateFileW(location.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
    return directory && securityIsSafe(directory.get());
}

CrashDumpInfo::CrashDumpInfo() {
    try {
        // The 32-bit view: what the panel's 32-bit tools write.
        RegKey config(ConfigKey::root(), ConfigKey::subKey(), READ_CONTROL | KEY_QUERY_VALUE | KEY_WOW64_32KEY, true);
        DWORD on = 1;
        registry::lookup(config, L"CrashDumpsEnabled", on);
        if (on == 0) {
            enabled_ = false;
            return;
        }
        std::wstring root;
        registry::lookup(config, L"PRODUCT_ROOT_D", root);
        if (root.empty()) {
            enabled_ = false;
            return;
        }
        location_ = VFileName::combine(root, L"etc\\crashdumps");
        registry::lookup(config, L"CrashDumpsLocation", location_);
        prepareDumpDirectory(location_);
        registry::lookup(config, L"CrashDumpsMaxCount", maxCount_);
        baseName_ = VFileName::removeExtension(VFileName::fileName(moduleName(nullptr)));
    } catch (...) {
        // A missing key, a wrong value or a directory that cannot be made:
        // the library loads without dumps.
        enabled_ = false;
    }
}

CrashDumpInfo::~CrashDumpInfo() {
    if (installed.load() == this) uninstallCrashDumps();
    if (!enabled_) return;
    try {
        prune();
    } catch (...) {
    }
}

std::wstring CrashDumpInfo::getFileName() {
    if (!enabled_) throw vexception(L"Crash dumping does not enabled", VLOCATION("CrashDumpInfo::getFileName"));
    std::wstring stamp;
    try {
        VDateTime now;
        stamp = format(L"%04d%02d%02d_%02d%02d%02d.dmp", now.time.wYear, now.time.wMonth, now.time.wDay,
                       now.time.wHour, now.time.wMinute, now.time.wSecond)
                    .substr(0, 20);
    } catch (...) {
        stamp.clear();
    }
    fileName_ = format(L"%s\\%s%s", location_.c_str(), baseName_.c_str(), stamp.c_str()).substr(0, 260);
    return fileName_;
}

void CrashDumpInfo::prune() {
    struct Dump {
        VDateTime written;
        std::wstring path;
    };
    std::vector<Dump> dumps;
    if (!dumpDirectoryIsSafe(location_)) return;
    VFileFinder finder;
    for (bool found = finder.first(VFileName::combine(location_, L"*.dmp")); found; found = finder.next()) {
        // A link is never followed nor removed.
        if (finder.isDots() || finder.isDirectory() || (finder.attributes() & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        if (equalsIgnoreCase(VFileName::extension(finder.name()), L".zip")) continue;
        dumps.push_back({VDateTime(finder.data().ftLastWriteTime), VFileName::combine(location_, finder.name())});
    }
    finder.close();
    std::stable_sort(dumps.begin(), dumps.end(), [](const Dump& a, const Dump& b) { return a.written < b.written; });
    for (size_t oldest = 0; dumps.size() - oldest > maxCount_; ++oldest)
        // Without force: an entry that resists is not taken over, and the
        // others are still pruned.
        ignoreFailure([&] { removeFile(dumps[oldest].path.c_str(), false, false, 0, 0); });
}

void internalDumpMiniDump(const std::wstring& fileName, EXCEPTION_POINTERS* pointers, MINIDUMP_TYPE type) {
    try {
        auto context = [] { return std::wstring(L"Unable to generate dump file"); };
        catchPoint(context, VCATCH_SITE("internalDumpMiniDump"), [&] {
            SeTranslatorScope faults;
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
            MINIDUMP_EXCEPTION_INFORMATION exception = {GetCurrentThreadId(), pointers, TRUE};
            // A new file only, never through a link: a name that is taken
            // (a planted link or file, or a dump of the same second) gets a
            // random part instead.
            VFile file;
            std::wstring name = fileName;
            for (int attempt = 0;; ++attempt) {
                try {
                    file.open(name, 0x1F01FF, FILE_SHARE_READ, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT);
                    break;
                } catch (const VFileExistsException&) {
                    if (attempt == 3) throw;
                    name = withRandomPart(fileName);
                }
            }
            if (!MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file.handle(), type, &exception, nullptr,
                                   nullptr))
                throwOSError(L"Unable to generate dump file", GetLastError(), VLOCATION("internalDumpMiniDump"));
            file.close();
        });
    } catch (const vexception& e) {
        ignoreFailure([&] { LogManager::instance().log(Error, e); });
    }
}

void installCrashDumps(CrashDumpInfo& info) {
    installed.store(&info);
    setCrashDumpHook(dumpOnFault);
}

void uninstallCrashDumps() {
    setCrashDumpHook(nullptr);
    installed.store(nullptr);
}
