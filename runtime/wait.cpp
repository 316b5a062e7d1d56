#include "runtime/wait.h"

#include "runtime/cancellation.h"
#include "runtime/exceptions.h"

namespace VSyncObject {

namespace {

using ThreadCancelation::CancelationPoint;

const ULONGLONG ticksPerMillisecond = 10000;  // FILETIME counts 100 ns
const DWORD longestRound = 0x7FFFFFFF;

ULONGLONG systemTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// Rounds of an alertable wait: an APC that did not cancel the thread starts a
// new round with the time left until the deadline. `error` keeps the wait's
// last error: leaving the point may change the thread's.
template <class Wait>
DWORD waitRounds(DWORD timeout, DWORD& error, Wait wait) {
    CancelationPoint point(ThreadCancelation::Asynchronous);
    const bool timed = timeout != INFINITE;
    const ULONGLONG deadline = timed ? systemTimeNow() + timeout * ticksPerMillisecond : 0;
    for (;;) {
        point.checkCanceled();
        DWORD round = INFINITE;
        bool clipped = false;
        if (timed) {
            ULONGLONG now = systemTimeNow();
            ULONGLONG left = deadline > now ? (deadline - now) / ticksPerMillisecond : 0;
            clipped = left > longestRound;
            round = clipped ? longestRound : static_cast<DWORD>(left);
        }
        DWORD result = wait(round);
        if (result == WAIT_IO_COMPLETION) continue;
        // A round shortened to 31 bits that timed out has time left.
        if (result == WAIT_TIMEOUT && clipped) continue;
        error = result == WAIT_FAILED ? GetLastError() : ERROR_SUCCESS;
        return result;
    }
}

}  // namespace

DWORD waitForSingleObject(HANDLE handle, DWORD timeout) {
    DWORD error = ERROR_SUCCESS;
    DWORD result =
        waitRounds(timeout, error, [handle](DWORD round) { return WaitForSingleObjectEx(handle, round, TRUE); });
    if (result == WAIT_FAILED)
        throwOSError(L"Wait for single object", error, VLOCATION("VSyncObject::waitForSingleObject"));
    return result;
}

DWORD waitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeout) {
    DWORD error = ERROR_SUCCESS;
    DWORD result = waitRounds(timeout, error, [=](DWORD round) {
        return WaitForMultipleObjectsEx(count, handles, waitAll ? TRUE : FALSE, round, TRUE);
    });
    if (result == WAIT_FAILED) SetLastError(error);
    return result;
}

void sleep(DWORD milliseconds) {
    CancelationPoint point(ThreadCancelation::Asynchronous);
    const DWORD start = GetTickCount();
    DWORD left = milliseconds;
    for (;;) {
        point.checkCanceled();
        if (SleepEx(left, TRUE) != WAIT_IO_COMPLETION) return;
        point.checkCanceled();
        if (milliseconds == INFINITE) continue;
        DWORD elapsed = GetTickCount() - start;  // unsigned: survives the wrap
        if (elapsed >= milliseconds) return;
        left = milliseconds - elapsed;
    }
}

}  // namespace VSyncObject
