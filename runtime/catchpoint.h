// Catch points: the one way library code stops a failure, either to pass it
// on as a vexception carrying the catch point's location, or to fall back
// to a value. A thread's cancellation always passes untouched.
#pragma once

#include <utility>

#include "runtime/exceptions.h"
#include "runtime/threadcanceled.h"

// The function and line a catch point reports.
struct CatchSite {
    const char* function;
    unsigned line;
};
#define VCATCH_SITE(function) CatchSite{(function), __LINE__}
// A catch point whose reported line is fixed, whatever line it stands on.
#define VCATCH_SITE_AT(function, line) CatchSite{(function), (line)}

// Runs body. A vexception leaving it keeps its type and gains the location
// (context(), site); any other failure becomes a vexception with that
// location. context is only called when something fails.
template <class Context, class Body>
auto catchPoint(Context&& context, CatchSite site, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (vexception& e) {
        e.addLocation(ErrorLocation(context(), site.function, site.line));
        throw;
    } catch (...) {
        // currentAsVException lets a cancellation leave as it came.
        throw currentAsVException(context(), site.function, site.line);
    }
}

// Runs body; any failure gives fallback instead.
template <class T, class Body>
T valueOr(T fallback, Body&& body) {
    try {
        return body();
    } catch (const ThreadCancelation::ThreadCanceledException&) {
        throw;
    } catch (...) {
        return fallback;
    }
}

// Runs body and forgets any failure: for clean-up steps whose failure must
// not hide the one being reported.
template <class Body>
void ignoreFailure(Body&& body) {
    try {
        body();
    } catch (const ThreadCancelation::ThreadCanceledException&) {
        throw;
    } catch (...) {
    }
}
