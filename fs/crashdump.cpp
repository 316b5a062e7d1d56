#include "fs/crashdump.h"

#include <algorithm>
#include <atomic>
#include <vector>

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

// MiniDumpWithDataSegs | MiniDumpWithFullMemory | MiniDumpWithHandleData
const MINIDUMP_TYPE faultDumpType = static_cast<MINIDUMP_TYPE>(7);

void dumpOnFault(unsigned, EXCEPTION_POINTERS* pointers) {
    CrashDumpInfo* info = installed.load();
    if (!info || !info->enabled() || !pointers) return;
    internalDumpMiniDump(info->getFileName(), pointers, faultDumpType);
}

}  // namespace

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
        VDirectory::createDirectory(location_, nullptr);
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
    VFileFinder finder;
    for (bool found = finder.first(VFileName::combine(location_, L"*.dmp")); found; found = finder.next()) {
        if (finder.isDots() || finder.isDirectory()) continue;
        if (equalsIgnoreCase(VFileName::extension(finder.name()), L".zip")) continue;
        dumps.push_back({VDateTime(finder.data().ftLastWriteTime), VFileName::combine(location_, finder.name())});
    }
    finder.close();
    std::stable_sort(dumps.begin(), dumps.end(), [](const Dump& a, const Dump& b) { return a.written < b.written; });
    for (size_t oldest = 0; dumps.size() - oldest > maxCount_; ++oldest)
        removeFile(dumps[oldest].path.c_str(), true, false, 0, 0);
}

void internalDumpMiniDump(const std::wstring& fileName, EXCEPTION_POINTERS* pointers, MINIDUMP_TYPE type) {
    try {
        auto context = [] { return std::wstring(L"Unable to generate dump file"); };
        catchPoint(context, VCATCH_SITE("internalDumpMiniDump"), [&] {
            SeTranslatorScope faults;
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
            MINIDUMP_EXCEPTION_INFORMATION exception = {GetCurrentThreadId(), pointers, TRUE};
            VFile file;
            file.open(fileName, 0x1F01FF, FILE_SHARE_READ, CREATE_ALWAYS, 0);
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
