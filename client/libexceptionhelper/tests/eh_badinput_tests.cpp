// Dump settings of the wrong type or size: each falls back to its default,
// whatever bytes the value holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UniqueHandle.h"
#include "eh_settings.h"

namespace {

const wchar_t kMiscKey[] = L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion\\Misc.";

// One value of the helper's key (32-bit view, as the helper reads it) with
// raw type and bytes; what was there before comes back when it goes.
class CScopedRawSetting {
public:
    explicit CScopedRawSetting(const wchar_t* valueName) : m_valueName(valueName) {
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMiscKey, 0, nullptr, 0,
                          KEY_READ | KEY_WRITE | KEY_WOW64_32KEY, nullptr, m_key.put(), nullptr);
        DWORD size = 0;
        if (::RegQueryValueExW(m_key.get(), valueName, nullptr, &m_type, nullptr, &size) ==
            ERROR_SUCCESS) {
            m_previous.resize(size);
            m_existed = ::RegQueryValueExW(m_key.get(), valueName, nullptr, &m_type,
                                           m_previous.data(), &size) == ERROR_SUCCESS;
        }
    }
    ~CScopedRawSetting() {
        if (m_existed) {
            ::RegSetValueExW(m_key.get(), m_valueName.c_str(), 0, m_type, m_previous.data(),
                             static_cast<DWORD>(m_previous.size()));
        } else {
            ::RegDeleteValueW(m_key.get(), m_valueName.c_str());
        }
    }
    CScopedRawSetting(const CScopedRawSetting&) = delete;
    CScopedRawSetting& operator=(const CScopedRawSetting&) = delete;

    bool Set(DWORD type, const void* data, DWORD size) {
        return ::RegSetValueExW(m_key.get(), m_valueName.c_str(), 0, type,
                                static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
    }

private:
    std::wstring m_valueName;
    UTIL::unique_hkey m_key;
    bool m_existed = false;
    DWORD m_type = REG_NONE;
    std::vector<BYTE> m_previous;
};

struct Setting {
    const wchar_t* name;
    int defaultValue;
};
const Setting kSettings[] = {{L"DumpEnableExceptionHelper", 1},
                             {L"DumpMinimumFreeSpaceInMB", 1024},
                             {L"DumpMaximumFiles", 4},
                             {L"DumpMaxKeepDay", 60}};

TEST(DumpSettingsBadInput, WrongTypeOrSizeGivesTheDefault) {
    for (const Setting& setting : kSettings) {
        CScopedRawSetting value(setting.name);
        // "0" as text is four bytes, the size of a number: still not a number.
        ASSERT_TRUE(value.Set(REG_SZ, L"0", 4));
        EXPECT_EQ(setting.defaultValue, EH::ReadDumpSetting(setting.name, setting.defaultValue))
            << "REG_SZ " << setting.defaultValue;
        const DWORD zero = 0;
        ASSERT_TRUE(value.Set(REG_BINARY, &zero, sizeof(zero)));
        EXPECT_EQ(setting.defaultValue, EH::ReadDumpSetting(setting.name, setting.defaultValue))
            << "REG_BINARY " << setting.defaultValue;
        const ULONGLONG wide = 7;
        ASSERT_TRUE(value.Set(REG_QWORD, &wide, sizeof(wide)));
        EXPECT_EQ(setting.defaultValue, EH::ReadDumpSetting(setting.name, setting.defaultValue))
            << "REG_QWORD " << setting.defaultValue;
        const std::wstring longText(400, L'9');
        ASSERT_TRUE(value.Set(REG_SZ, longText.c_str(),
                              static_cast<DWORD>((longText.size() + 1) * sizeof(wchar_t))));
        EXPECT_EQ(setting.defaultValue, EH::ReadDumpSetting(setting.name, setting.defaultValue))
            << "long REG_SZ " << setting.defaultValue;
        const WORD shortNumber = 0;
        ASSERT_TRUE(value.Set(REG_DWORD, &shortNumber, sizeof(shortNumber)));
        EXPECT_EQ(setting.defaultValue, EH::ReadDumpSetting(setting.name, setting.defaultValue))
            << "two-byte REG_DWORD " << setting.defaultValue;
    }
}

// Numbers are taken as they are, also the ones that make no sense: the
// helper's rules decide what a negative count or minimum does.
TEST(DumpSettingsBadInput, NegativeAndHugeNumbersAreReadAsSigned) {
    CScopedRawSetting value(L"DumpMaximumFiles");
    const DWORD minusOne = 0xFFFFFFFF;
    ASSERT_TRUE(value.Set(REG_DWORD, &minusOne, sizeof(minusOne)));
    EXPECT_EQ(-1, EH::ReadDumpSetting(L"DumpMaximumFiles", 4));
    const DWORD huge = 0x7FFFFFFF;
    ASSERT_TRUE(value.Set(REG_DWORD, &huge, sizeof(huge)));
    EXPECT_EQ(0x7FFFFFFF, EH::ReadDumpSetting(L"DumpMaximumFiles", 4));
}

}  // namespace
