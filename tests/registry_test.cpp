#include <gtest/gtest.h>

#include <functional>

#include "runtime/exceptions.h"
#include "runtime/registry.h"
#include "testutil.h"

namespace {

// A scratch key per process, removed afterwards.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        subKey_ = L"Software\\hvcdmtutils-tests\\" + std::to_wstring(GetCurrentProcessId());
        key_ = registry::create(HKEY_CURRENT_USER, subKey_, KEY_ALL_ACCESS);
    }
    void TearDown() override {
        key_.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, subKey_.c_str());
    }
    void setRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    std::wstring subKey_;
    RegKey key_;
};

std::wstring thrownText(const std::function<void()>& f) { return testutil::failureOf(f).message(); }

}  // namespace

TEST_F(RegistryTest, NumberLookup) {
    registry::set(key_, L"Count", 7);
    DWORD value = 10;
    EXPECT_EQ(registry::lookup(HKEY_CURRENT_USER, subKey_, L"Count", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);

    // Missing value or key: the status, and the caller's default survives.
    value = 10;
    EXPECT_EQ(registry::lookup(HKEY_CURRENT_USER, subKey_, L"CrashDumpsMaxCount", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(registry::lookup(key_, L"Missing", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, 10u);

    const unsigned long long wide = 1;
    setRaw(L"Wide", REG_DWORD, &wide, sizeof wide);
    setRaw(L"Text", REG_SZ, L"12345678", 18);
    const std::wstring where = subKey_ + L"\\";
    EXPECT_EQ(thrownText([&] { registry::lookup(HKEY_CURRENT_USER, subKey_, L"Wide", value); }),
              L"RegQueryValueEx invalid size of '" + where + L"Wide'");
    EXPECT_EQ(thrownText([&] { registry::lookup(HKEY_CURRENT_USER, subKey_, L"Text", value); }),
              L"RegQueryValueEx invalid type of '" + where + L"Text'");
    EXPECT_EQ(thrownText([&] { registry::lookup(key_, L"Wide", value); }),
              L"RegQueryValueEx invalid size of 'Wide'");
    EXPECT_EQ(value, 10u);
}

TEST_F(RegistryTest, TextLookup) {
    SetEnvironmentVariableW(L"HVC_TEST_DIR", L"C:\\dir");
    registry::set(key_, L"Plain", L"value");
    const wchar_t expandable[] = L"%HVC_TEST_DIR%\\sub";
    setRaw(L"Expand", REG_EXPAND_SZ, expandable, sizeof expandable);
    setRaw(L"Unterminated", REG_SZ, L"abc", 6);
    setRaw(L"Number", REG_DWORD, "\1\0\0\0", 4);

    struct Case {
        const wchar_t* name;
        DWORD expectedType;
        std::wstring value;
    } cases[] = {
        {L"Plain", REG_SZ, L"value"},
        {L"Plain", REG_EXPAND_SZ, L"value"},  // the two text types count as one
        {L"Expand", REG_SZ, L"C:\\dir\\sub"},
        {L"Expand", REG_EXPAND_SZ, L"C:\\dir\\sub"},
        {L"Unterminated", REG_SZ, L"abc"},
    };
    for (const Case& c : cases) {
        std::wstring value = L"default";
        EXPECT_EQ(registry::lookup(HKEY_CURRENT_USER, subKey_, c.name, value, c.expectedType), ERROR_SUCCESS);
        EXPECT_EQ(value, c.value) << c.name;
    }
    std::wstring value = L"default";
    EXPECT_EQ(registry::lookup(HKEY_CURRENT_USER, subKey_, L"Missing", value, REG_SZ), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, L"default");
    EXPECT_EQ(thrownText([&] { registry::lookup(HKEY_CURRENT_USER, subKey_, L"Number", value, REG_SZ); }),
              L"RegQueryValueEx invalid type of '" + subKey_ + L"\\Number'");

    try {
        registry::getstr(HKEY_CURRENT_USER, subKey_, L"Missing", REG_SZ);
        FAIL();
    } catch (const VFileNotFoundException& e) {
        const std::wstring tail = L" value=Missing with type 1";
        EXPECT_EQ(e.message().substr(e.message().size() - tail.size()), tail);
        EXPECT_NE(e.message().find(L" at lookup subKey=" + subKey_), std::wstring::npos);
    }
}

TEST_F(RegistryTest, MultiStringLookup) {
    const wchar_t data[] = L"a\0b\0\0c\0";
    setRaw(L"List", REG_MULTI_SZ, data, sizeof data);
    EXPECT_EQ(registry::getMulti(HKEY_CURRENT_USER, subKey_, L"List"), (std::vector<std::wstring>{L"a", L"b"}));
    // Stored without the final empty string, or without any terminator and
    // with an odd byte count: the walk ends inside the data.
    setRaw(L"List", REG_MULTI_SZ, L"a\0b", 3 * sizeof(wchar_t));
    EXPECT_EQ(registry::getMulti(HKEY_CURRENT_USER, subKey_, L"List"), (std::vector<std::wstring>{L"a", L"b"}));
    setRaw(L"List", REG_MULTI_SZ, L"a\0bx", 3 * sizeof(wchar_t) + 1);
    EXPECT_EQ(registry::getMulti(HKEY_CURRENT_USER, subKey_, L"List"), (std::vector<std::wstring>{L"a", L"bx"}));
    std::vector<std::wstring> none;
    EXPECT_EQ(registry::lookup(HKEY_CURRENT_USER, subKey_, L"Missing", none), ERROR_FILE_NOT_FOUND);
    registry::set(key_, L"Plain", L"x");
    EXPECT_THROW(registry::getMulti(HKEY_CURRENT_USER, subKey_, L"Plain"), vexception);
}

TEST_F(RegistryTest, KeysAndFailures) {
    EXPECT_TRUE(registry::keyExists(HKEY_CURRENT_USER, subKey_));
    EXPECT_FALSE(registry::keyExists(HKEY_CURRENT_USER, subKey_ + L"\\none"));
    {
        RegKey created(HKEY_CURRENT_USER, subKey_ + L"\\made", KEY_ALL_ACCESS, false);
        EXPECT_NE(created.get(), nullptr);
    }
    EXPECT_TRUE(registry::keyExists(HKEY_CURRENT_USER, subKey_ + L"\\made"));
    try {
        RegKey missing(HKEY_CURRENT_USER, subKey_ + L"\\none", KEY_READ, true);
        FAIL();
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(e.errorCode(), 2u);
        EXPECT_EQ(e.message(), formatOSError(2, (L"RegOpenKeyEx subKey=" + subKey_ + L"\\none").c_str()));
        EXPECT_EQ(e.locations()[0].function, "registry::open");
    }
}

// Restores the "Debug" value as it was before the test.
class DebugSwitchTest : public ::testing::Test {
protected:
    void SetUp() override {
        key_ = registry::create(ConfigKey::root(), ConfigKey::subKey(), KEY_ALL_ACCESS);
        hadValue_ = registry::lookup(key_, L"Debug", saved_) == ERROR_SUCCESS;
    }
    void TearDown() override {
        if (hadValue_)
            registry::set(key_, L"Debug", saved_);
        else
            RegDeleteValueW(key_, L"Debug");
    }
    // Calls isDebugMode until it answers `wanted`; the number of calls, or 0.
    static int callsUntil(bool wanted) {
        for (int call = 1; call <= 16; ++call)
            if (isDebugMode() == wanted) return call;
        return 0;
    }
    RegKey key_;
    DWORD saved_ = 0;
    bool hadValue_ = false;
};

TEST_F(DebugSwitchTest, LengthensTextsAndIsReReadByARunningHost) {
    vexception e(L"message", ErrorLocation(L"", "ExclusiveTask::Initialize", 267));
    registry::set(key_, L"Debug", 0);
    ASSERT_NE(callsUntil(false), 0);
    EXPECT_EQ(e.text(), L"message");
    registry::set(key_, L"Debug", 1);
    ASSERT_NE(callsUntil(true), 0);  // that call read the value; the next 15 use the cache
    EXPECT_EQ(e.text(), e.fullText());

    // A value of the wrong type answers false; the cached value comes back
    // with the next calls.
    registry::set(key_, L"Debug", L"yes");
    for (int call = 0; call < 14; ++call) isDebugMode();
    EXPECT_FALSE(isDebugMode());
    EXPECT_TRUE(isDebugMode());
}
