#include <windows.h>

// Nothing but switching off per-thread notifications: all process-wide
// state is built by static initialisation or on first use.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
