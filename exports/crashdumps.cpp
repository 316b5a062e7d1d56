// The library's crash-dump settings: read when the DLL loads, so that the
// fault translator can write a dump at any time; the dump directory is
// pruned when it unloads.
#include "fs/crashdump.h"

namespace {

struct CrashDumps {
    CrashDumpInfo info;
    CrashDumps() { installCrashDumps(info); }
    ~CrashDumps() { uninstallCrashDumps(); }
} crashDumps;

}  // namespace
