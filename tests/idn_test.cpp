#include <gtest/gtest.h>

#include <functional>

#include "idn/idn.h"
#include "runtime/exceptions.h"
#include "testutil.h"

namespace {
std::wstring failure(const std::function<void()>& f) {
    vexception e = testutil::failureOf(f);
    EXPECT_TRUE(e.locations().empty());
    return e.message();
}
}  // namespace

TEST(Idn, FlagsReachLibidn) {
    // STD3 rules refuse an underscore; without them it passes.
    EXPECT_EQ(idn::toAscii("a_b.example", false, false), "a_b.example");
    EXPECT_EQ(failure([] { idn::toAscii("a_b.example", false, true); }),
              L"String contains non-LDH ASCII characters at convert: (a_b.example).");
    EXPECT_EQ(failure([] { idn::toAscii("-ab.example", false, true); }),
              L"String contains a minus at convert: (-ab.example).");
    // U+0221 was unassigned in Unicode 3.2: refused unless allowed.
    EXPECT_EQ(failure([] { idn::toAscii("\xC8\xA1.example", false, false); }),
              L"Error during string preparation at convert: (\u0221.example).");
    EXPECT_EQ(idn::toAscii("\xC8\xA1.example", true, false).rfind("xn--", 0), 0u);
}

TEST(Idn, MessagesQuoteTheInputInItsEncoding) {
    // To ASCII reads the input as UTF-8 for the message.
    const std::string bad = std::string(60, 'a') + "\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC.example";
    EXPECT_EQ(failure([&] { idn::toAscii(bad, false, false); }),
              L"Invalid domain name format: (" + std::wstring(60, L'a') + L"\u00FC\u00FC\u00FC\u00FC.example).");
}
