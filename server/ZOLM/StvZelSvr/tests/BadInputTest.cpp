// Settings that make no sense: empty, text, negative or huge INI values and
// registry values of another type or too long. Each gives a defined answer
// and a trace line where something is refused; nothing is cut or wrapped.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "ProfileCache.h"
#include "UniqueHandle.h"
#include "UnixLinks.h"
#include "zel_ServiceState.h"

namespace {

constexpr wchar_t kInformationKey[] = L"SOFTWARE\\Karvelo\\Sentavo\\service\\Information";

// Every read finds a stale entry, so each value written is read again.
DWORD StaleTicks() {
    static DWORD ticks = 0;
    return ticks += 31000;
}

std::string TempIni(const char* name) {
    char dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + name;
}

// "Local_Path" in the 64-bit view, as the start-up reads it; the value, or
// the part of the key path this object created, goes again with it.
class CScopedLocalPath {
public:
    CScopedLocalPath() {
        std::wstring path = kInformationKey;
        for (size_t end = path.find(L'\\');; end = path.find(L'\\', end + 1)) {
            const std::wstring prefix = path.substr(0, end);
            if (!Open(prefix.c_str(), KEY_READ)) {
                m_firstCreated = prefix;
                break;
            }
            if (end == std::wstring::npos) break;
        }
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInformationKey, 0, nullptr, 0,
                          KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr, m_key.put(), nullptr);
        DWORD size = 0;
        if (::RegQueryValueExW(m_key.get(), L"Local_Path", nullptr, &m_type, nullptr, &size) ==
            ERROR_SUCCESS) {
            m_previous.resize(size);
            m_existed = ::RegQueryValueExW(m_key.get(), L"Local_Path", nullptr, &m_type,
                                           m_previous.data(), &size) == ERROR_SUCCESS;
        }
    }
    ~CScopedLocalPath() {
        if (m_existed) {
            ::RegSetValueExW(m_key.get(), L"Local_Path", 0, m_type, m_previous.data(),
                             static_cast<DWORD>(m_previous.size()));
        } else {
            ::RegDeleteValueW(m_key.get(), L"Local_Path");
        }
        m_key.reset();
        if (m_firstCreated.empty()) return;
        const size_t slash = m_firstCreated.rfind(L'\\');
        UTIL::unique_hkey parent = Open(m_firstCreated.substr(0, slash).c_str(), KEY_ALL_ACCESS);
        if (parent) ::RegDeleteTreeW(parent.get(), m_firstCreated.substr(slash + 1).c_str());
    }
    CScopedLocalPath(const CScopedLocalPath&) = delete;
    CScopedLocalPath& operator=(const CScopedLocalPath&) = delete;

    bool Set(DWORD type, const void* data, DWORD size) {
        return ::RegSetValueExW(m_key.get(), L"Local_Path", 0, type, static_cast<const BYTE*>(data),
                                size) == ERROR_SUCCESS;
    }
    bool Set(const std::wstring& text) {
        return Set(REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

private:
    static UTIL::unique_hkey Open(const wchar_t* path, REGSAM access) {
        UTIL::unique_hkey key;
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access | KEY_WOW64_64KEY, key.put());
        return key;
    }

    UTIL::unique_hkey m_key;
    std::wstring m_firstCreated;
    bool m_existed = false;
    DWORD m_type = REG_NONE;
    std::vector<BYTE> m_previous;
};

// The module profile bound to an INI file of the test with a given "Mode";
// unbound again afterwards, so that other tests see the defaults.
class CScopedModuleProfile {
public:
    explicit CScopedModuleProfile(const char* mode) : m_ini(TempIni("zel_badinput_module.ini")) {
        DeleteFileA(m_ini.c_str());
        WritePrivateProfileStringA("ZOLM", "Mode", mode, m_ini.c_str());
        ModuleProfile().SetTickSource(StaleTicks);
        m_bound = ModuleProfile().OpenA(m_ini.c_str(), 0);
    }
    ~CScopedModuleProfile() {
        ModuleProfile().OpenA("", 0);
        DeleteFileA(m_ini.c_str());
    }
    CScopedModuleProfile(const CScopedModuleProfile&) = delete;
    CScopedModuleProfile& operator=(const CScopedModuleProfile&) = delete;
    bool Bound() const { return m_bound; }

private:
    std::string m_ini;
    bool m_bound = false;
};

// The "CreateTempFolder" lines of one call.
std::vector<ZELTEST::LogRecord> CreateTempFolderTraced() {
    ZELTEST::CLogPipeListener listener;
    EXPECT_TRUE(listener.Start());
    CreateTempFolder();
    EXPECT_TRUE(listener.WaitForLine(L"CreateTempFolder - <<<"));
    listener.Stop();
    std::vector<ZELTEST::LogRecord> lines;
    for (const ZELTEST::LogRecord& record : listener.Records()) {
        if (record.Line().find(L"CreateTempFolder - ") != std::wstring::npos)
            lines.push_back(record);
    }
    return lines;
}

bool HasLine(const std::vector<ZELTEST::LogRecord>& records, const std::wstring& part, int level) {
    for (const ZELTEST::LogRecord& record : records) {
        if (record.Line().find(part) != std::wstring::npos && record.Level() == level) return true;
    }
    return false;
}

bool FolderExists(const std::wstring& folder) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> Entries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    UTIL::unique_find_handle find(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find.get(), &found));
    return names;
}

}  // namespace

TEST(BadInputPendingTime, NegativeEmptyAndOverflowingValuesGiveTheDefault) {
    const std::string ini = TempIni("zel_badinput_pending.ini");
    DeleteFileA(ini.c_str());
    ASSERT_TRUE(WritePrivateProfileStringA("X", "Y", "1", ini.c_str()));
    ScanProfile().SetTickSource(StaleTicks);
    ASSERT_TRUE(ScanProfile().OpenA(ini.c_str(), 0));
    const std::pair<const char*, DWORD> cases[] = {
        {"", 120000},           {"-5", 120000},
        {"+300000", 120000},    {"4294967295", 4294967295u},
        {"4294967296", 120000}, {"99999999999999999999", 120000},
        {"0300000", 300000}};
    for (const auto& [text, expected] : cases) {
        WritePrivateProfileStringA("INI_SERVER_SECTION", "Service_Pending_Time", text, ini.c_str());
        EXPECT_EQ(expected, ReadPendingTime()) << text;
    }
    ScanProfile().OpenA("", 0);
    DeleteFileA(ini.c_str());
}

// A test timer of the cleanup's kind (7) with a chosen interval.
class CIntervalTimer : public TimerInfo {
public:
    CIntervalTimer(int hour, int minute, __time64_t lastRun) {
        m_enabled = true;
        m_kind = 7;
        m_hour = hour;
        m_minute = minute;
        m_lastRun = lastRun;
    }
};

__time64_t g_now = 0;
__time64_t FakeNow() {
    return g_now;
}
bool DropTrace(int, const wchar_t*, int, const wchar_t*, ...) {
    return true;
}

class BadInputInterval : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedNow = TimerInfo::s_pfnNow;
        m_savedTrace = TimerInfo::s_pfnTrace;
        TimerInfo::s_pfnNow = FakeNow;
        TimerInfo::s_pfnTrace = DropTrace;
        g_now = 1796644800;  // 2026-12-07 about noon
    }
    void TearDown() override {
        TimerInfo::s_pfnNow = m_savedNow;
        TimerInfo::s_pfnTrace = m_savedTrace;
    }
    // Checks once a minute for `minutes` minutes; counts the due checks.
    static int DueChecks(CIntervalTimer& timer, int minutes) {
        int due = 0;
        for (int i = 0; i < minutes; ++i) {
            g_now += 60;
            if (timer.isTimeup()) ++due;
        }
        return due;
    }

private:
    TimerInfo::TimeSource m_savedNow = nullptr;
    TimerInfo::TraceSink m_savedTrace = nullptr;
};

// An interval past the calendar's end (millennia of hours or minutes) used
// to make the due time unconvertible, read as 1900, and so due every pass.
TEST_F(BadInputInterval, HugeIntervalIsNeverDue) {
    const std::pair<int, int> cases[] = {
        {INT_MAX, 0}, {0, INT_MAX}, {INT_MAX, INT_MAX}, {9000000, 0}};
    for (const auto& [hour, minute] : cases) {
        CIntervalTimer timer(hour, minute, g_now - 30);
        EXPECT_EQ(0, DueChecks(timer, 5)) << hour << " h " << minute << " min";
    }
}

// Negative settings are used as they are: every check is due.
TEST_F(BadInputInterval, NegativeIntervalIsDueOnEveryCheck) {
    const std::pair<int, int> cases[] = {{-1, 0}, {0, -5}, {INT_MIN, INT_MIN}};
    for (const auto& [hour, minute] : cases) {
        CIntervalTimer timer(hour, minute, g_now - 30);
        EXPECT_EQ(5, DueChecks(timer, 5)) << hour << " h " << minute << " min";
    }
}

// A link planted in place of a temporary folder is refused, never followed:
// nothing is made where it points, and the refusal is traced.
TEST(BadInputTempFolder, LinkInPlaceOfAFolderIsRefused) {
    ZELTEST::CProductFolder product(L"badinput_templink");
    ZELTEST::CProductFolder elsewhere(L"badinput_templink_target");
    CScopedLocalPath localPath;
    ASSERT_TRUE(localPath.Set(product.Root()));
    ASSERT_TRUE(ZELTEST::CreateFolders(product.Root() + L"TEMP\\"));
    std::vector<ZELTEST::LogRecord> lines;
    {
        ZELTEST::CPlantedLinks links;
        links.Add(elsewhere.Root(), product.Root() + L"TEMP\\SampleSubmission");
        ASSERT_TRUE(links.Plant());
        lines = CreateTempFolderTraced();
    }
    EXPECT_FALSE(FolderExists(elsewhere.Root() + L"Log"));
    EXPECT_TRUE(HasLine(lines,
                        L"CreateTempFolder - Dir(" + product.Root() +
                            L"TEMP\\SampleSubmission) is link, refused.",
                        'W'));
    EXPECT_FALSE(HasLine(lines, L"Create Dir(", 'D'));
}

// A "Local_Path" that cannot be opened gives no measure for what lies below
// it: nothing is made there, and the refusal is traced.
TEST(BadInputTempFolder, LocalPathThatCannotBeOpenedCreatesNothing) {
    ZELTEST::CProductFolder product(L"badinput_noroot");
    CScopedLocalPath localPath;
    CScopedModuleProfile profile("101");
    ASSERT_TRUE(localPath.Set(product.Root() + L"absent\\"));
    const auto lines = CreateTempFolderTraced();
    EXPECT_TRUE(HasLine(lines,
                        L"CreateTempFolder - Dir(" + product.Root() +
                            L"absent) cannot be resolved, refused.",
                        'W'));
    EXPECT_FALSE(HasLine(lines, L"Create Dir(", 'D'));
    EXPECT_FALSE(FolderExists(product.Root() + L"absent"));
}

// Only "Mode" 101 reads the product key; text, empty, negative or huge
// values read as some other number (the platform's integer read) and leave
// the key path empty: the root has no "Local_Path", so no folder is made.
TEST(BadInputTempFolder, ModeOtherThan101CreatesNothing) {
    ZELTEST::CProductFolder product(L"badinput_mode");
    CScopedLocalPath localPath;
    ASSERT_TRUE(localPath.Set(product.Root()));
    for (const char* mode : {"abc", "", "-101", "99999999999", "101.5x"}) {
        CScopedModuleProfile profile(mode);
        ASSERT_TRUE(profile.Bound());
        const UINT platform =
            GetPrivateProfileIntA("ZOLM", "Mode", 101, TempIni("zel_badinput_module.ini").c_str());
        const auto lines = CreateTempFolderTraced();
        EXPECT_EQ(FolderExists(product.Root() + L"TEMP"), platform == 101) << mode;
        if (platform != 101) {
            EXPECT_TRUE(HasLine(lines, L"<<< due to RegQueryValueEx() failure", 'D')) << mode;
        }
        ZELTEST::RemoveTree(product.Root() + L"TEMP\\");
    }
}

// Bytes of another type read as text would name some folder relative to the
// current one ("." from 0x2E): the value is refused like a missing one.
TEST(BadInputTempFolder, LocalPathOfAnotherTypeCreatesNothing) {
    ZELTEST::CProductFolder product(L"badinput_type");
    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(product.Root().c_str()));
    CScopedLocalPath localPath;
    CScopedModuleProfile profile("101");
    const DWORD dot = 0x2E;
    ASSERT_TRUE(localPath.Set(REG_DWORD, &dot, sizeof(dot)));
    auto lines = CreateTempFolderTraced();
    EXPECT_TRUE(HasLine(lines, L"<<< due to RegQueryValueEx() failure", 'D'));
    ASSERT_TRUE(localPath.Set(REG_BINARY, L".", 4));
    lines = CreateTempFolderTraced();
    EXPECT_TRUE(HasLine(lines, L"<<< due to RegQueryValueEx() failure", 'D'));
    SetCurrentDirectoryW(saved);
    EXPECT_TRUE(Entries(product.Root()).empty());
}

// The value is read into 520 bytes: 259 characters and the terminator fit
// (the folders then do not, and are refused), 260 do not and fail the read.
TEST(BadInputTempFolder, LocalPathLongerThanItsBufferCreatesNothing) {
    CScopedLocalPath localPath;
    CScopedModuleProfile profile("101");
    for (const size_t chars : {259u, 260u, 303u}) {
        const std::wstring value = L"C:\\" + std::wstring(chars - 3, L'x');
        ASSERT_TRUE(localPath.Set(value));
        const auto lines = CreateTempFolderTraced();
        EXPECT_EQ(HasLine(lines, L"<<< due to RegQueryValueEx() failure", 'D'), chars > 259)
            << chars;
        EXPECT_EQ(HasLine(lines, L"CreateTempFolder - Path too long: " + value + L"\\TEMP", 'E'),
                  chars == 259)
            << chars;
        EXPECT_FALSE(HasLine(lines, L"Create Dir", 'D')) << chars;
    }
}

// A local path so long that only "\TEMP" still fits: the longer folders are
// refused with a line instead of being created under a cut name.
TEST(BadInputTempFolder, FolderThatDoesNotFitIsRefusedNotCut) {
    ZELTEST::CProductFolder product(L"badinput_long");
    std::wstring base = product.Root();
    while (base.size() < 250)
        base += std::wstring(std::min<size_t>(60, 250 - base.size()), L'd') + L'\\';
    base.resize(250);
    if (base.back() == L'\\') base.back() = L'e';
    ASSERT_TRUE(ZELTEST::CreateFolders(base + L"\\"));
    CScopedLocalPath localPath;
    CScopedModuleProfile profile("101");
    ASSERT_TRUE(localPath.Set(base + L"\\"));
    const auto lines = CreateTempFolderTraced();
    EXPECT_TRUE(FolderExists(base + L"\\TEMP"));
    EXPECT_TRUE(Entries(base + L"\\TEMP").empty()) << "a folder under a cut name";
    EXPECT_TRUE(HasLine(
        lines, L"CreateTempFolder - Path too long: " + base + L"\\TEMP\\SampleSubmission", 'E'));
}
