// Client of the panel's management service on "\\.\pipe\hvcpipe": named
// parameters and passwords.
#pragma once

#include <string>

#include "ipc/channel.h"

class OrvexSrvClient : public vpipechannel::client {
public:
    // The process's shared client, connected on first use. A failed creation
    // leaves no instance behind, so the next call tries again.
    static OrvexSrvClient& getInstance();

    // A client of its own, connected at once; for a service on another pipe
    // (tools and tests). The library itself uses getInstance().
    explicit OrvexSrvClient(const std::wstring& pipeName);

    std::wstring getString(const std::wstring& name);
    std::wstring getPassword(const std::wstring& name);
    void setPassword(const std::wstring& name, const std::wstring& password);

private:
    OrvexSrvClient();
};
