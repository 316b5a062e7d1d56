#include "ipc/srvclient.h"

#include "runtime/cancellation.h"
#include "runtime/catchpoint.h"
#include "runtime/setranslator.h"
#include "runtime/text.h"

namespace {

// {AD3EBC3C-E6B9-4FCF-ABB9-ED1B3D524F22}
const GUID getStringRequest = {0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
// {50A1A607-50B9-4DB3-92EC-B940EB87F8FF}
const GUID getPasswordRequest = {0x50A1A607, 0x50B9, 0x4DB3, {0x92, 0xEC, 0xB9, 0x40, 0xEB, 0x87, 0xF8, 0xFF}};
// {34D9F754-8BE8-46FE-9CF2-3AFDBE4E8DD8}
const GUID setPasswordRequest = {0x34D9F754, 0x8BE8, 0x46FE, {0x9C, 0xF2, 0x3A, 0xFD, 0xBE, 0x4E, 0x8D, 0xD8}};

// The management service's executable, the same value the event log uses.
const wchar_t* const serviceImageValue = L"OrvexService";

}  // namespace

OrvexSrvClient::OrvexSrvClient() : vpipechannel::client(L"\\\\.\\pipe\\hvcpipe", serviceImageValue, true) {}

OrvexSrvClient::OrvexSrvClient(const std::wstring& pipeName)
    : vpipechannel::client(pipeName, serviceImageValue, true) {}

OrvexSrvClient& OrvexSrvClient::getInstance() {
    auto context = [] { return std::wstring(L"get shared instance of OrvexSrvClient"); };
    return catchPoint(context, VCATCH_SITE("OrvexSrvClient::getInstance"), []() -> OrvexSrvClient& {
        // A constructor that throws leaves the static unconstructed: the next call tries again.
        static OrvexSrvClient instance;
        return instance;
    });
}

std::wstring OrvexSrvClient::getString(const std::wstring& name) {
    auto context = [&] { return format(L"getString(%s)", name.c_str()); };
    return catchPoint(context, VCATCH_SITE("OrvexSrvClient::getString"), [&] {
        SeTranslatorScope faults;
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        vserializer::output arguments;
        arguments.appendString(name);
        return query(getStringRequest, arguments)->readString();
    });
}

std::wstring OrvexSrvClient::getPassword(const std::wstring& name) {
    auto context = [&] { return format(L"getPassword('%s')", name.c_str()); };
    return catchPoint(context, VCATCH_SITE("OrvexSrvClient::getPassword"), [&] {
        SeTranslatorScope faults;
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        vserializer::output arguments;
        arguments.appendString(name);
        return query(getPasswordRequest, arguments)->readString();
    });
}

void OrvexSrvClient::setPassword(const std::wstring& name, const std::wstring& password) {
    auto context = [&] { return format(L"setPassword('%s')", name.c_str()); };
    catchPoint(context, VCATCH_SITE("OrvexSrvClient::setPassword"), [&] {
        SeTranslatorScope faults;
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        vserializer::output arguments;
        arguments.appendString(name);
        arguments.appendString(password);
        query(setPasswordRequest, arguments);  // the answer is not read
    });
}
