// The execute context shared by the modules of the family in one process.
// hvcdmtutils.dll asks for it in HVC_GetParam (its pipe connection opens a
// cancellation point, also when no service answers); hvcctxprobe.dll, built
// from the same objects, asks through its log manager, which fills the
// switch table.
#include <gtest/gtest.h>
#include <malloc.h>
#include <windows.h>

#include "childprocess.h"
#include "runtime/executecontext.h"
#include "exports/hvcdmtutils.h"

namespace {

template <class F>
F bind(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

ExecuteContext* contextOf(HMODULE module) {
    return *bind<ExecuteContext**>(module, "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22");
}

HMODULE load(const wchar_t* name) { return LoadLibraryW((childprocess::binDirectory() + L"\\" + name).c_str()); }

void askLibrary(HMODULE library) {  // the call itself may fail
    bind<HVC_FreeString_t>(library, HVC_NAME_FreeString)(
        bind<HVC_GetParam_t>(library, HVC_NAME_GetParam)("ORVEX_DB_HOST"));
}

void askProbe(HMODULE probe) { bind<void(__cdecl*)(int, const wchar_t*)>(probe, "probeLog")(0, L"off the console"); }

// Blocks of the C runtime's heap, which every module of the process shares.
bool heapBlockInUse(const void* block) { return HeapValidate(reinterpret_cast<HANDLE>(_get_heap_handle()), 0, block); }

}  // namespace

// Runs in a process of its own (see ExecuteContextTest.ModulesInAFreshProcess),
// where no module of the family has asked for a context yet.
TEST(ExecuteContextChild, DISABLED_ModulesShareOneContext) {
    HMODULE library = load(L"hvcdmtutils.dll"), probe = load(L"hvcctxprobe.dll");
    ASSERT_TRUE(library && probe);

    // The later-loaded module asks first: the earlier one's null pointer is passed over.
    askProbe(probe);
    ExecuteContext* context = contextOf(probe);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->referenceCount, 1u);

    // The other adopts it; asking again adds nothing.
    askLibrary(library);
    askLibrary(library);
    EXPECT_EQ(contextOf(library), context);
    EXPECT_EQ(context->referenceCount, 2u);

    // Unloading the creator runs its release (the DLL's atexit list); the other keeps the context.
    ASSERT_TRUE(FreeLibrary(probe));
    EXPECT_EQ(contextOf(library), context);
    EXPECT_EQ(context->referenceCount, 1u);
    EXPECT_TRUE(heapBlockInUse(context));

    // A module loaded later adopts it from the survivor.
    probe = load(L"hvcctxprobe.dll");
    askProbe(probe);
    EXPECT_EQ(contextOf(probe), context);
    EXPECT_EQ(context->referenceCount, 2u);
    const void* switches = context->switches;
    const void* cancellation = context->cancellation;
    ASSERT_TRUE(switches && cancellation);
    ASSERT_TRUE(FreeLibrary(library));
    EXPECT_EQ(context->referenceCount, 1u);

    // The last release frees the context, its switches and its cancellation registry.
    ASSERT_TRUE(FreeLibrary(probe));
    EXPECT_FALSE(heapBlockInUse(context));
    EXPECT_FALSE(heapBlockInUse(switches));
    EXPECT_FALSE(heapBlockInUse(cancellation));
}

TEST(ExecuteContextTest, ModulesInAFreshProcess) {
    const childprocess::Result child = childprocess::run(
        {L"--gtest_also_run_disabled_tests", L"--gtest_filter=ExecuteContextChild.*"}, L"hvctests.exe");
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    EXPECT_NE(child.output.find("[       OK ] ExecuteContextChild."), std::string::npos) << child.output;
}
