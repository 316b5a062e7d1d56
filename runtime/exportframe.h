// What every export shares: the last-error slot, returned strings and the
// exception boundary.
#pragma once

#include <string>

#include "runtime/cancellation.h"
#include "runtime/exceptions.h"
#include "runtime/setranslator.h"
#include "runtime/text.h"

// Exported through the .def file under their decorated names only.
#define HVC_EXPORT extern "C"

namespace exportframe {

// A non-null text is copied into the process-wide slot; null empties it.
void setLastError(const char* text);
// Null while the slot is empty, else the slot's own text.
const char* lastError();

// A new _strdup block the caller releases with HVC_FreeString; null (slot
// empty) when it cannot be allocated.
const char* newString(const std::string& text);

// Zeroes a returned block up to its terminator, measured by the library's
// own code like a caller's text; null is left alone.
void wipeBlock(char* block);

// The caller's text, measured and copied by the library's own code: a
// pointer that faults when read then faults here, inside the boundary's
// translator scope, and not inside the C runtime, whose frames cannot be
// unwound on i686. Null gives the empty string.
std::string callerText(const char* value);
// callerText of an argument that must not be null; ArgumentException naming
// the argument when it is.
std::string required(const char* value, const char* name);

// required() into storage of its own that holds short texts inline: the
// copy (still made by the library's own code, in one pass) costs no
// allocation. For exports whose work is small next to an allocation.
class RequiredText {
public:
    RequiredText(const char* value, const char* name);
    RequiredText(const RequiredText&) = delete;
    RequiredText& operator=(const RequiredText&) = delete;
    const char* c_str() const { return long_.empty() ? inline_ : long_.c_str(); }

private:
    char inline_[256];
    std::string long_;  // texts that do not fit inline
};

// Call only inside a catch block. Stores the text of the exception being
// handled in the slot and returns true; a thread's cancellation is no failure:
// it stores nothing and returns false, and the caller ends the thread once
// its catch block is left (endCanceledThread).
bool storeCurrentException();

// What a successful call does with the slot on its way out. The slot is
// always cleared at entry; ClearSlot empties it once more, so that no text
// that body left behind (a logged, recovered failure) survives the call.
enum class OnSuccess { KeepSlot, ClearSlot };

// Runs body with the slot cleared at entry; any exception ends as text in
// the slot and the failure value. No exception leaves: a cancelled thread,
// whose frames inside the library have unwound by now, ends here.
template <class Result, class Body>
Result boundary(Result failure, OnSuccess onSuccess, Body&& body) {
    setLastError(nullptr);
    Result result = failure;
    bool canceled = false;
    try {
        SeTranslatorScope faults;
        result = body();
        if (onSuccess == OnSuccess::ClearSlot) setLastError(nullptr);
    } catch (...) {
        canceled = !storeCurrentException();
        result = failure;
    }
    if (canceled || ThreadCancelation::takePendingCancel()) ThreadCancelation::endCanceledThread();
    return result;
}

}  // namespace exportframe
