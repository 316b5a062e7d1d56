#include "runtime/comerror.h"

#include <oleauto.h>

#include "runtime/exceptions.h"
#include "runtime/owners.h"

ComError ComError::fromErrorInfo(HRESULT hr) {
    std::wstring description;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) == S_OK && info) {
        UniqueBstr text;
        if (SUCCEEDED(info->GetDescription(text.put())) && text)
            description.assign(text.get(), SysStringLen(text.get()));
    }
    return ComError(hr, description);
}

std::wstring ComError::errorMessage() const {
    std::wstring text;
    if (!systemMessage(static_cast<DWORD>(hr_), true, text)) return unknownErrorText(static_cast<DWORD>(hr_));
    if (text.size() > 1) removeOneLineEnd(text);
    return text;
}

void throwComError(HRESULT hr) { throw ComError::fromErrorInfo(hr); }
