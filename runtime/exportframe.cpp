#include "runtime/exportframe.h"

#include <cstring>

#include "runtime/cancellation.h"

namespace exportframe {
namespace {
std::string slot;
}

void setLastError(const char* text) {
    if (text)
        slot = text;
    else
        slot.clear();
}

const char* lastError() { return slot.empty() ? nullptr : slot.c_str(); }

const char* newString(const std::string& text) {
    const char* block = _strdup(text.c_str());
    if (!block) setLastError(nullptr);
    return block;
}

const char* required(const char* value, const char* name) {
    if (!value) throw ArgumentException(L"Invalid argument: " + wstr(name, 0) + L" is null", VLOCATION("required"));
    return value;
}

void storeCurrentException() {
    try {
        throw;
    } catch (const ThreadCancelation::ThreadCanceledException&) {
        throw;  // never a failure text: the thread is being cancelled
    } catch (...) {
    }
    // Converting the text may itself fail; the slot then gets the generic text.
    try {
        try {
            throw;
        } catch (const std::exception& e) {
            setLastError(e.what());
        } catch (const vexception& e) {
            setLastError(cstr(e.text(), 0).c_str());
        } catch (const cwrpexception& e) {
            setLastError(cstr(e.text(), 0).c_str());
        }
    } catch (...) {
        setLastError("Unknown exception occured in HvcDmtLib");
    }
}

}  // namespace exportframe
