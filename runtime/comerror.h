// A failed COM call: the HRESULT and the description of the thread's
// IErrorInfo, captured when the error is raised.
#pragma once

#include <windows.h>

#include <string>

class ComError {
public:
    explicit ComError(HRESULT hr, std::wstring description = std::wstring())
        : hr_(hr), description_(std::move(description)) {}

    // Takes the description from the thread's current error object, if any.
    static ComError fromErrorInfo(HRESULT hr);

    HRESULT error() const { return hr_; }
    const std::wstring& description() const { return description_; }
    // System text of the HRESULT, or the IDispatch/Unknown fallback.
    std::wstring errorMessage() const;

private:
    HRESULT hr_;
    std::wstring description_;
};

[[noreturn]] void throwComError(HRESULT hr);
