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

namespace {

// Copies the caller's text into buffer (room for capacity bytes, terminator
// included) in one pass of volatile reads, which keep the compiler from
// handing the loop to strlen or memcpy; returns the bytes copied, capacity
// when the text did not fit (then buffer holds its first capacity bytes).
size_t copyCallerText(const char* value, char* buffer, size_t capacity) {
    const volatile char* text = value;
    for (size_t i = 0; i < capacity; ++i) {
        const char c = text[i];
        buffer[i] = c;
        if (c == '\0') return i;
    }
    return capacity;
}

// The rest of a text that did not fit: measured and copied the same way.
void copyRemainder(const char* value, size_t done, std::string& out) {
    const volatile char* text = value;
    size_t length = done;
    while (text[length] != '\0') ++length;
    out.resize(length);
    for (size_t i = done; i < length; ++i) out[i] = text[i];
}

ArgumentException nullArgument(const char* name) {
    return ArgumentException(L"Invalid argument: " + wstr(name, 0) + L" is null", VLOCATION("required"));
}

}  // namespace

void wipeBlock(char* block) {
    if (!block) return;
    const volatile char* text = block;
    size_t length = 0;
    while (text[length] != '\0') ++length;
    SecureZeroMemory(block, length);
}

std::string callerText(const char* value) {
    if (!value) return std::string();
    char head[256];
    const size_t copied = copyCallerText(value, head, sizeof head);
    if (copied < sizeof head) return std::string(head, copied);
    std::string text(head, sizeof head);
    copyRemainder(value, sizeof head, text);
    return text;
}

std::string required(const char* value, const char* name) {
    if (!value) throw nullArgument(name);
    return callerText(value);
}

RequiredText::RequiredText(const char* value, const char* name) {
    if (!value) throw nullArgument(name);
    if (copyCallerText(value, inline_, sizeof inline_) < sizeof inline_) return;
    long_.assign(inline_, sizeof inline_);
    copyRemainder(value, sizeof inline_, long_);
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
