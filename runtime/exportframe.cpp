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

std::string callerText(const char* value) {
    if (!value) return std::string();
    // Volatile reads keep the compiler from handing the loop to strlen.
    const volatile char* text = value;
    size_t length = 0;
    while (text[length] != '\0') ++length;
    std::string copy(length, '\0');
    for (size_t i = 0; i < length; ++i) copy[i] = text[i];
    return copy;
}

std::string required(const char* value, const char* name) {
    if (!value) throw ArgumentException(L"Invalid argument: " + wstr(name, 0) + L" is null", VLOCATION("required"));
    return callerText(value);
}

bool storeCurrentException() {
    try {
        throw;
    } catch (const ThreadCancelation::ThreadCanceledException&) {
        return false;
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
    return true;
}

}  // namespace exportframe
