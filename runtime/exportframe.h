// What every export shares: the last-error slot, returned strings and the
// exception boundary.
#pragma once

#include <string>

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

// Throws ArgumentException naming the argument when it is null.
const char* required(const char* value, const char* name);

// Stores the text of the exception being handled in the slot; a thread
// cancellation is rethrown untouched.
void storeCurrentException();

// What a successful call does with the slot on its way out. The slot is
// always cleared at entry; ClearSlot empties it once more, so that no text
// that body left behind (a logged, recovered failure) survives the call.
enum class OnSuccess { KeepSlot, ClearSlot };

// Runs body with the slot cleared at entry; any exception ends as text in
// the slot and the failure value.
template <class Result, class Body>
Result boundary(Result failure, OnSuccess onSuccess, Body&& body) {
    setLastError(nullptr);
    try {
        SeTranslatorScope faults;
        Result result = body();
        if (onSuccess == OnSuccess::ClearSlot) setLastError(nullptr);
        return result;
    } catch (...) {
        storeCurrentException();  // rethrows a thread's cancellation
    }
    return failure;
}

}  // namespace exportframe
