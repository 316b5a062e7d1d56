// HVC_GetParam: a named parameter of the panel, as its management service
// answers it.
#include "runtime/exportframe.h"
#include "ipc/srvclient.h"

HVC_EXPORT const char* __cdecl HVC_GetParam(const char* name) {
    return exportframe::boundary<const char*>(nullptr, exportframe::OnSuccess::KeepSlot, [&] {
        std::wstring wideName = wstr(exportframe::required(name, "name"), 0);
        return exportframe::newString(cstr(OrvexSrvClient::getInstance().getString(wideName), 0));
    });
}
