// An installation reached through a link above the executable's folder (an
// administrator's junction or symbolic link; under Wine a Unix symlink): the
// crash leaves its dump and the purge bounds all three folders, as in a
// plain folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "ProductFolder.h"
#include "crash_test_support.h"
#include "UniqueHandle.h"
#include "UnixLinks.h"

namespace {

const wchar_t kMiscKey[] = L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion\\Misc.";
const wchar_t kLinkedRoot[] = L"C:\\zeltest\\crash-linked-via\\";

using CRASHTEST::ModuleFolder;
using CRASHTEST::Names;

bool WriteFileOf(const std::wstring& path, const char* bytes) {
    UTIL::unique_handle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           ::WriteFile(file.get(), bytes, static_cast<DWORD>(strlen(bytes)), &written, nullptr);
}

std::string HeadOf(const std::wstring& path) {
    UTIL::unique_handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char head[4] = {};
    DWORD read = 0;
    if (!file || !::ReadFile(file.get(), head, sizeof(head), &read, nullptr)) return {};
    return std::string(head, read);
}

// Settings for the run: dumps whatever the disk holds, the default four kept.
class CScopedDumpSettings {
public:
    CScopedDumpSettings() {
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMiscKey, 0, nullptr, 0,
                          KEY_READ | KEY_WRITE | KEY_WOW64_32KEY, nullptr, m_key.put(), nullptr);
        const DWORD minimum = 1;
        ::RegSetValueExW(m_key.get(), L"DumpMinimumFreeSpaceInMB", 0, REG_DWORD,
                         reinterpret_cast<const BYTE*>(&minimum), sizeof(minimum));
        ::RegDeleteValueW(m_key.get(), L"DumpMaximumFiles");
    }
    ~CScopedDumpSettings() { ::RegDeleteValueW(m_key.get(), L"DumpMinimumFreeSpaceInMB"); }

private:
    UTIL::unique_hkey m_key;
};

DWORD RunToItsEnd(const std::wstring& exe, const std::wstring& folder) {
    std::wstring commandLine = L"\"" + exe + L"\" null";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          folder.c_str(), &startup, &process)) {
        return 0;
    }
    UTIL::unique_handle processHandle(process.hProcess);
    UTIL::unique_handle threadHandle(process.hThread);
    // A crash under Wine takes about 20 s alone, far longer on a loaded machine.
    if (::WaitForSingleObject(processHandle.get(), 270000) != WAIT_OBJECT_0) {
        ::TerminateProcess(processHandle.get(), 1);
        ::WaitForSingleObject(processHandle.get(), 10000);
    }
    DWORD exitCode = 0;
    ::GetExitCodeProcess(processHandle.get(), &exitCode);
    return exitCode;
}

// Five old dumps in each purged folder before the crash: the start's purge
// leaves four in each, and the crash's own dump (kept, the newest name)
// pushes one more out of the executable's folder.
TEST(CrashLinkedInstall, DumpIsKeptAndEveryFolderPurgedBehindASymlinkedAncestor) {
    CScopedDumpSettings settings;
    ZELTEST::CProductFolder real(L"crash-linked-real");
    const std::wstring bin = real.Root() + L"Bin\\x64\\";
    const std::wstring folders[] = {bin, bin + L"HBRF\\", real.Root() + L"Bin\\BM\\LOG\\"};
    for (const std::wstring& folder : folders) {
        ASSERT_TRUE(ZELTEST::CreateFolders(folder));
        for (int day = 1; day <= 5; ++day) {
            ASSERT_TRUE(WriteFileOf(folder + L"2020010" + std::to_wstring(day) + L"-120000.dmp",
                                    "old dump"));
        }
    }
    ASSERT_FALSE(
        real.CopyIn(ModuleFolder() + CRASH_TARGET_NAME, L"Bin\\x64\\" CRASH_TARGET_NAME).empty());
    ZELTEST::CPlantedLinks links;
    links.Add(real.Root(), kLinkedRoot);
    ASSERT_TRUE(links.Plant());
    const std::wstring linkedBin = std::wstring(kLinkedRoot) + L"Bin\\x64\\";

    EXPECT_EQ(RunToItsEnd(linkedBin + CRASH_TARGET_NAME, linkedBin),
              static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));

    const std::vector<std::wstring> dumps = Names(bin, L"*.dmp");
    ASSERT_EQ(dumps.size(), 4u);
    EXPECT_EQ(dumps[0], L"20200103-120000.dmp");
    EXPECT_EQ(dumps[1], L"20200104-120000.dmp");
    EXPECT_EQ(dumps[2], L"20200105-120000.dmp");
    EXPECT_EQ(HeadOf(bin + dumps[3]), "MDMP");
    for (const std::wstring& folder : {folders[1], folders[2]}) {
        const std::vector<std::wstring> expected = {L"20200102-120000.dmp", L"20200103-120000.dmp",
                                                    L"20200104-120000.dmp", L"20200105-120000.dmp"};
        EXPECT_EQ(Names(folder, L"*.dmp"), expected);
    }
}

}  // namespace
