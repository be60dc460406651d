// A link re-pointed at the moment the loader writes one of its own trace
// lines, as someone serving the log pipe can do: the attacker's library
// (whose entry point leaves a marker file) must never run, and the load is
// refused as a failed check. The trace observer re-points synchronously,
// inside the trace call, so the loader goes on only once the link is
// re-pointed: the worst timing a log server could reach, every run.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>
#include <string>

#include "DsTestSupport.h"
#include "TraceObserver.h"
#include "UnixLinks.h"
#include "ds_loadlibwithissuercheck.h"
#include "ds_stvdsmanager.h"

namespace {

using DSTEST::TestFile;

// Runs a shell script once, when a trace line holding `trigger` is written.
class CRepointOnLine : public ITraceObserver {
public:
    CRepointOnLine(std::wstring trigger, std::string script)
        : m_trigger(std::move(trigger)), m_script(std::move(script)) {}

    void OnTraceLine(int, const wchar_t* text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_fired || std::wstring(text).find(m_trigger) == std::wstring::npos) return;
        m_fired = true;
        m_succeeded = ZELTEST::RunUnixShell(m_script);
    }
    bool Repointed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_fired && m_succeeded;
    }

private:
    std::wstring m_trigger;
    std::string m_script;
    std::mutex m_mutex;
    bool m_fired = false;
    bool m_succeeded = false;
};

// repoint/genuine holds the maker's library, repoint/evil the attacker's
// under the same name; repoint/dir is either a link to genuine or a plain
// folder with its own copy of the maker's library.
struct Layout {
    // One folder per process: the suite's lanes run tests side by side.
    std::wstring folder = TestFile(L"repoint_") + std::to_wstring(GetCurrentProcessId());
    std::wstring library = folder + L"\\dir\\victim.dll";
    std::wstring marker = folder + L"\\attacker-ran";
    std::string unixFolder = ZELTEST::UnixPathOf(folder);

    bool Make(bool plantedLink) const {
        const std::string karvelo = ZELTEST::UnixPathOf(TestFile(L"ds_karvelo.dll"));
        const std::string attacker = ZELTEST::UnixPathOf(TestFile(L"ds_attacker.dll"));
        std::string script = "set -e; rm -rf '" + unixFolder + "'; mkdir -p '" + unixFolder +
                             "/genuine' '" + unixFolder + "/evil'; cp '" + karvelo + "' '" +
                             unixFolder + "/genuine/victim.dll'; cp '" + attacker + "' '" +
                             unixFolder + "/evil/victim.dll'; cd '" + unixFolder + "'; ";
        script += plantedLink ? "ln -s genuine dir\n" : "mkdir dir; cp genuine/victim.dll dir/\n";
        return !unixFolder.empty() && ZELTEST::RunUnixShell(script);
    }
    // The link now leads to the attacker's folder; a plain folder is moved
    // aside and a link takes its name.
    std::string RepointScript(bool plantedLink) const {
        const std::string cd = "cd '" + unixFolder + "' && ";
        return plantedLink ? cd + "ln -sfn evil dir\n" : cd + "mv dir dir.aside && ln -s evil dir\n";
    }
    ~Layout() { ZELTEST::RunUnixShell("rm -rf '" + unixFolder + "'\n"); }
};

TEST(digitalsignature_RepointAtTrace, AttackersLibraryNeverRunsAtAnyMomentOfTheLoad) {
    struct Moment {
        const char* name;
        std::wstring trigger;
    };
    const Layout layout;
    const Moment moments[] = {
        {"hold", L"CheckFileIssuer - Checking whether file (" + layout.library},
        {"check", L"CheckFileIssuer - successfully to check digital signature for " +
                      layout.library},
        {"load", L"LoadLibraryWithIssuerCheckW - Calling LoadLibraryW()..."},
    };
    ASSERT_TRUE(SetEnvironmentVariableW(L"DS_ATTACKER_MARKER", layout.marker.c_str()));
    for (const bool plantedLink : {true, false}) {
        for (const Moment& moment : moments) {
            SCOPED_TRACE(std::string(moment.name) + (plantedLink ? " planted link" : " plain folder"));
            ASSERT_TRUE(layout.Make(plantedLink));
            CRepointOnLine repoint(moment.trigger, layout.RepointScript(plantedLink));
            HMODULE module = nullptr;
            DWORD error = 0;
            {
                CScopedTraceObserver observe(repoint);
                SetLastError(0);
                module = LoadLibraryWithIssuerCheckW(L"Karvelo, Inc.", layout.library.c_str());
                error = GetLastError();
            }
            EXPECT_TRUE(repoint.Repointed());
            EXPECT_EQ(module, nullptr);
            EXPECT_EQ(error, ERROR_FAILED_ISSUER_CHECK);
            EXPECT_EQ(GetFileAttributesW(layout.marker.c_str()), INVALID_FILE_ATTRIBUTES)
                << "the attacker's DllMain ran";
            EXPECT_EQ(GetModuleHandleW(L"victim.dll"), nullptr);
            if (module != nullptr) FreeLibrary(module);
        }
    }
    SetEnvironmentVariableW(L"DS_ATTACKER_MARKER", nullptr);
}

// Unchanged, each layout shows what the check measures: a plain folder
// below the executable's folder loads, a link planted there does not.
TEST(digitalsignature_RepointAtTrace, LinkBelowTheTrustedFolderIsRefusedBeforeTheLoad) {
    const Layout layout;
    ASSERT_TRUE(layout.Make(false));
    HMODULE module = LoadLibraryWithIssuerCheckW(L"Karvelo, Inc.", layout.library.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_EQ(GetModuleHandleW(layout.library.c_str()), module);
    FreeLibrary(module);

    ASSERT_TRUE(layout.Make(true));
    DSTEST::CTraceCapture trace;
    SetLastError(0);
    module = LoadLibraryWithIssuerCheckW(L"Karvelo, Inc.", layout.library.c_str());
    const DWORD error = GetLastError();
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(error, ERROR_FAILED_ISSUER_CHECK);
    EXPECT_EQ(trace.Count(L"LoadLibraryWithIssuerCheckW - File (" + layout.library +
                          L") is not reached without a link below its trusted folder. Not loaded."),
              1u);
    if (module != nullptr) FreeLibrary(module);
}

// "Application Path" (64-bit view) set for one test; what was there, keys
// included, comes back when it goes.
class CApplicationPath64 {
public:
    explicit CApplicationPath64(const std::wstring& folder) {
        for (const wchar_t* key : kChain) {
            UTIL::unique_hkey existing;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_64KEY,
                              existing.put()) != ERROR_SUCCESS) {
                m_created.push_back(key);
            }
        }
        m_set = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kChain[2], 0, nullptr, 0,
                                KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, m_key.put(),
                                nullptr) == ERROR_SUCCESS;
        wchar_t previous[MAX_PATH] = {};
        DWORD size = sizeof(previous) - sizeof(wchar_t);
        m_had = m_set && RegQueryValueExW(m_key.get(), L"Application Path", nullptr, nullptr,
                                          reinterpret_cast<BYTE*>(previous), &size) == ERROR_SUCCESS;
        m_previous = previous;
        m_set = m_set && Write(folder);
    }
    ~CApplicationPath64() {
        if (m_had) {
            Write(m_previous);
        } else if (m_key) {
            RegDeleteValueW(m_key.get(), L"Application Path");
        }
        m_key.reset();
        for (auto key = m_created.rbegin(); key != m_created.rend(); ++key) {
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, *key, KEY_WOW64_64KEY, 0);
        }
    }
    bool Set() const { return m_set; }

private:
    bool Write(const std::wstring& value) {
        return RegSetValueExW(m_key.get(), L"Application Path", 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
               ERROR_SUCCESS;
    }
    static constexpr const wchar_t* kChain[] = {
        L"SOFTWARE\\Karvelo", L"SOFTWARE\\Karvelo\\HalvixNTCorp",
        L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion"};
    UTIL::unique_hkey m_key;
    std::vector<const wchar_t*> m_created;
    std::wstring m_previous;
    bool m_had = false;
    bool m_set = false;
};

// An installation whose "Application Path" is reached through a link (an
// administrator's): below that root the library is plain and loads. The
// same link below the root ("Application Path" one folder higher) is
// refused.
TEST(digitalsignature_RepointAtTrace, LinkAboveTheTrustedFolderIsTheInstallations) {
    wchar_t temp[MAX_PATH] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring base = std::wstring(temp) + L"zel_repoint_" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
    const std::string unixBase = ZELTEST::UnixPathOf(base);
    const std::string karvelo = ZELTEST::UnixPathOf(TestFile(L"ds_karvelo.dll"));
    ASSERT_TRUE(ZELTEST::RunUnixShell("cd '" + unixBase + "' && mkdir -p real/product && cp '" +
                                      karvelo + "' real/product/victim.dll && ln -s real alias\n"));
    const std::wstring library = base + L"\\alias\\product\\victim.dll";
    struct Case {
        std::wstring applicationPath;
        bool loads;
    };
    const Case cases[] = {{base + L"\\alias\\product\\", true}, {base + L"\\", false}};
    for (const Case& c : cases) {
        CApplicationPath64 applicationPath(c.applicationPath);
        ASSERT_TRUE(applicationPath.Set());
        SetLastError(0);
        const HMODULE module = LoadLibraryWithIssuerCheckW(L"Karvelo, Inc.", library.c_str());
        const DWORD error = GetLastError();
        EXPECT_EQ(module != nullptr, c.loads) << testing::PrintToString(c.applicationPath);
        if (!c.loads) {
            EXPECT_EQ(error, ERROR_FAILED_ISSUER_CHECK);
        }
        if (module != nullptr) FreeLibrary(module);
    }
    ZELTEST::RunUnixShell("rm -rf '" + unixBase + "'\n");
}

}  // namespace
