#include <gtest/gtest.h>

#include "runtime/comerror.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "testutil.h"

using testutil::systemText;

TEST(Exceptions, FormatOSError) {
    EXPECT_EQ(formatOSError(5, L"x"), systemText(5) + L" (Error code 5) at x");
    EXPECT_EQ(formatOSError(2, nullptr), systemText(2) + L" (Error code 2)");
    ASSERT_TRUE(systemText(1234567).empty());
    EXPECT_EQ(formatOSError(1234567, nullptr), L"Unknown error (Error code 1234567)");
    EXPECT_EQ(formatOSError(1234567, L"y"), L"Unknown error (Error code 1234567) at y");
}

namespace {
template <class T>
bool thrownAs(DWORD code) {
    try {
        throwOSError(L"op obj", code, VLOCATION("test"));
    } catch (const T& e) {
        // Catchable by its class, with the code and the one location.
        return e.errorCode() == code && e.locations().size() == 1 &&
               e.message() == formatOSError(code, L"op obj");
    } catch (...) {
    }
    return false;
}
}  // namespace

TEST(Exceptions, ThrowOSErrorPicksTheClassOfTheCode) {
    EXPECT_TRUE(thrownAs<VFileNotFoundException>(2));
    EXPECT_TRUE(thrownAs<VAlreadyExistsException>(183));
    EXPECT_TRUE(thrownAs<VPasswordTooShortException>(2245));
    EXPECT_TRUE(thrownAs<vosexception>(183));  // subclasses stay catchable as their base
    EXPECT_TRUE(thrownAs<vosexception>(87));
    EXPECT_FALSE(thrownAs<VFileNotFoundException>(3));  // a class belongs to its code only
}

TEST(Exceptions, FullTextListsLocationsOldestFirst) {
    vexception e(L"message", ErrorLocation(L"", "ExclusiveTask::Initialize", 267));
    e.addLocation(ErrorLocation(L"Unable to generate dump file", "internalDumpMiniDump", 12));
    EXPECT_EQ(e.fullText(),
              L"message\n   at (ExclusiveTask::Initialize line 267)"
              L"\n   at Unable to generate dump file(internalDumpMiniDump line 12)");
    EXPECT_EQ(vexception(L"alone").fullText(), L"alone");
}

TEST(Exceptions, CatchPointConvertsEveryKind) {
    auto convert = [](auto thrower) {
        try {
            thrower();
        } catch (...) {
            return currentAsVException(L"ctx", "Catcher::run", 7);
        }
        return vexception(L"not thrown");
    };
    const std::wstring comText = ComError(E_OUTOFMEMORY).errorMessage();
    struct Case {
        vexception converted;
        std::wstring message;
        size_t locations;
    } cases[] = {
        {convert([] { throw std::runtime_error("boom"); }), L"boom", 1},
        {convert([] { throw vexception(L"inner", VLOCATION("Inner::f")); }), L"inner", 2},
        {convert([] { throwOSError(L"op", 5, VLOCATION("Inner::g")); }), formatOSError(5, L"op"), 2},
        {convert([] { throw ComError(E_OUTOFMEMORY, L"no room"); }),
         comText + L" (COM Error 8007000E, Description: no room) at ctx", 1},
        {convert([] { throw ComError(E_OUTOFMEMORY); }), comText + L" (COM Error 8007000E) at ctx", 1},
        {convert([] { throw cwrpexception(0xC0000005); }), L"C Exception: 3221225477", 1},
        {convert([] { throw 42; }), L"Unexpected error", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.converted.message(), c.message);
        ASSERT_EQ(c.converted.locations().size(), c.locations) << cstr(c.message);
        const ErrorLocation& last = c.converted.locations().back();
        EXPECT_EQ(last.function, "Catcher::run");
        EXPECT_EQ(last.line, 7u);
    }
    // Only the COM text carries the where-text in the message instead of the context.
    EXPECT_EQ(cases[3].converted.locations()[0].context, L"");
    EXPECT_EQ(cases[0].converted.locations()[0].context, L"ctx");
}

TEST(Exceptions, ComErrorFallbackTexts) {
    struct Case {
        HRESULT hr;
        std::wstring fallback;
    } cases[] = {
        {static_cast<HRESULT>(0x80040201), L"IDispatch error #1"},
        {static_cast<HRESULT>(0x8004FFFF), L"IDispatch error #65023"},
        {static_cast<HRESULT>(0x8FFF1234), L"Unknown error 0x8FFF1234"},
    };
    for (const Case& c : cases) {
        std::wstring system = systemText(static_cast<DWORD>(c.hr));
        EXPECT_EQ(ComError(c.hr).errorMessage(), system.empty() ? c.fallback : system);
        EXPECT_EQ(RunTime::systemErrorText(static_cast<DWORD>(c.hr)), system.empty() ? c.fallback : system);
    }
}

namespace {
template <class T>
std::string runtimeThrown(DWORD code) {
    try {
        RunTime::throwRuntimeError(L"Open %s", code, L"a");
    } catch (const T& e) {
        return e.what();
    } catch (...) {
        return "wrong class";
    }
    return "not thrown";
}
}  // namespace

TEST(Exceptions, ThrowRuntimeErrorByCode) {
    using namespace RunTime;
    auto expected = [](DWORD code) {
        return "Open a: (" + std::to_string(code) + ") " + testutil::narrow(systemText(code));
    };
    EXPECT_EQ(runtimeThrown<PathNotFoundException>(2), expected(2));
    EXPECT_EQ(runtimeThrown<PathNotFoundException>(3), expected(3));
    EXPECT_EQ(runtimeThrown<InvalidPathException>(267), expected(267));
    EXPECT_EQ(runtimeThrown<AlreadyExistsException>(80), expected(80));
    EXPECT_EQ(runtimeThrown<std::runtime_error>(87), expected(87));
    EXPECT_EQ(runtimeThrown<std::runtime_error>(0), "Open a");  // code 0: the text alone
    try {  // longer than the first buffer
        RunTime::throwRuntimeError("%s", 0, std::string(1000, 'x').c_str());
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), std::string(1000, 'x'));
    }
}
