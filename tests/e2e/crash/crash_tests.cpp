#include <gtest/gtest.h>
#include <windows.h>
// windows.h first: dbghelp.h needs its types.
#include <dbghelp.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <optional>
#include <string>
#include <vector>

#include "UniqueHandle.h"
#include "crash_test_support.h"

namespace {

const wchar_t kDumpPattern[] =
    L"????????"
    L"-??????.dmp";
const wchar_t kMiscKey[] = L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion\\Misc.";

using CRASHTEST::ModuleFolder;

std::vector<std::wstring> DumpNames(const std::wstring& folder) {
    return CRASHTEST::Names(folder, kDumpPattern);
}

bool IsDatedDumpName(const std::wstring& name) {
    if (name.size() != 19 || name[8] != L'-' || name.substr(15) != L".dmp") return false;
    for (size_t index = 0; index < 15; ++index) {
        if (index != 8 && !iswdigit(name[index])) return false;
    }
    return true;
}

std::vector<char> ReadWholeFile(const std::wstring& path) {
    std::vector<char> bytes;
    UTIL::unique_handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return bytes;
    LARGE_INTEGER size = {};
    ::GetFileSizeEx(file.get(), &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    return bytes;
}

// The exception code of the dump's exception stream, if it has one.
std::optional<DWORD> DumpedExceptionCode(const std::vector<char>& dump) {
    if (dump.size() < sizeof(MINIDUMP_HEADER)) return std::nullopt;
    const auto* header = reinterpret_cast<const MINIDUMP_HEADER*>(dump.data());
    if (std::memcmp(&header->Signature, "MDMP", 4) != 0) return std::nullopt;
    const size_t directoryEnd =
        header->StreamDirectoryRva + size_t{header->NumberOfStreams} * sizeof(MINIDUMP_DIRECTORY);
    if (directoryEnd > dump.size()) return std::nullopt;
    const auto* directory =
        reinterpret_cast<const MINIDUMP_DIRECTORY*>(dump.data() + header->StreamDirectoryRva);
    for (ULONG32 index = 0; index < header->NumberOfStreams; ++index) {
        if (directory[index].StreamType != ExceptionStream) continue;
        const MINIDUMP_LOCATION_DESCRIPTOR& where = directory[index].Location;
        if (where.Rva + size_t{where.DataSize} > dump.size() ||
            where.DataSize < sizeof(MINIDUMP_EXCEPTION_STREAM)) {
            return std::nullopt;
        }
        const auto* stream =
            reinterpret_cast<const MINIDUMP_EXCEPTION_STREAM*>(dump.data() + where.Rva);
        if (stream->ThreadId == 0) return std::nullopt;
        return stream->ExceptionRecord.ExceptionCode;
    }
    return std::nullopt;
}

// The free-space minimum for the run, so that the build disk's size does not
// decide the outcome; the previous value comes back afterwards.
class CScopedMinimumFreeSpace {
public:
    CScopedMinimumFreeSpace() {
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMiscKey, 0, nullptr, 0,
                          KEY_READ | KEY_WRITE | KEY_WOW64_32KEY, nullptr, m_key.put(), nullptr);
        DWORD previous = 0;
        DWORD size = sizeof(previous);
        if (::RegQueryValueExW(m_key.get(), kValue, nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&previous), &size) == ERROR_SUCCESS) {
            m_previous = previous;
        }
        const DWORD minimum = 1;
        ::RegSetValueExW(m_key.get(), kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&minimum),
                         sizeof(minimum));
    }
    ~CScopedMinimumFreeSpace() {
        if (m_previous) {
            const DWORD previous = *m_previous;
            ::RegSetValueExW(m_key.get(), kValue, 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&previous), sizeof(previous));
        } else {
            ::RegDeleteValueW(m_key.get(), kValue);
        }
    }

private:
    static constexpr const wchar_t* kValue = L"DumpMinimumFreeSpaceInMB";
    UTIL::unique_hkey m_key;
    std::optional<DWORD> m_previous;
};

class CrashDump : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = info->name();
        m_folder = ModuleFolder() + L"run-" + std::wstring(name.begin(), name.end()) +
                   FolderSuffix() + L"\\";
        RemoveRunFolder();
        ASSERT_TRUE(::CreateDirectoryW(m_folder.c_str(), nullptr));
        ASSERT_TRUE(::CopyFileW((ModuleFolder() + CRASH_TARGET_NAME).c_str(),
                                (m_folder + CRASH_TARGET_NAME).c_str(), FALSE));
    }
    void TearDown() override { RemoveRunFolder(); }
    virtual std::wstring FolderSuffix() const { return L""; }

    void RemoveRunFolder() {
        SetFolderAccess(L"D:(A;OICI;FA;;;WD)");
        for (const std::wstring& name : DumpNames(m_folder))
            ::DeleteFileW((m_folder + name).c_str());
        ::DeleteFileW((m_folder + CRASH_TARGET_NAME).c_str());
        ::RemoveDirectoryW(m_folder.c_str());
    }

    bool SetFolderAccess(const wchar_t* descriptorText) {
        UTIL::unique_hlocal descriptor;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                descriptorText, SDDL_REVISION_1,
                reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()), nullptr)) {
            return false;
        }
        return ::SetFileSecurityW(m_folder.c_str(), DACL_SECURITY_INFORMATION, descriptor.get()) !=
               FALSE;
    }

    // Runs the copied target to its end; returns its exit code.
    DWORD RunTarget(const wchar_t* mode) {
        std::wstring commandLine = L"\"" + m_folder + CRASH_TARGET_NAME + L"\" " + mode;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              m_folder.c_str(), &startup, &process)) {
            ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError();
            return 0;
        }
        UTIL::unique_handle processHandle(process.hProcess);
        UTIL::unique_handle threadHandle(process.hThread);
        // A crash under Wine takes about 20 s alone and up to 100 s beside
        // other lanes on a loaded machine; a hang (the former fault) is a
        // process that never ends, so wait long, under the 300 s test limit.
        if (::WaitForSingleObject(processHandle.get(), 270000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the crashing process did not end within 270 s";
            ::TerminateProcess(processHandle.get(), 1);
            ::WaitForSingleObject(processHandle.get(), INFINITE);
        }
        DWORD exitCode = 0;
        ::GetExitCodeProcess(processHandle.get(), &exitCode);
        return exitCode;
    }

    void ExpectOneDumpOf(const std::wstring& folder, const std::vector<std::wstring>& names,
                         DWORD exceptionCode) {
        ASSERT_EQ(names.size(), 1u);
        EXPECT_TRUE(IsDatedDumpName(names[0])) << std::string(names[0].begin(), names[0].end());
        const std::vector<char> dump = ReadWholeFile(folder + names[0]);
        ASSERT_GE(dump.size(), 4u);
        EXPECT_EQ(std::string(dump.data(), 4), "MDMP");
        EXPECT_EQ(DumpedExceptionCode(dump), std::optional<DWORD>(exceptionCode));
    }

    CScopedMinimumFreeSpace m_minimumFreeSpace;
    std::wstring m_folder;
};

TEST_F(CrashDump, NullWriteLeavesOneMinidumpInTheWorkingFolder) {
    EXPECT_EQ(RunTarget(L"null"), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    ExpectOneDumpOf(m_folder, DumpNames(m_folder), EXCEPTION_ACCESS_VIOLATION);
}

// The dump folder is text, never part of a format: in a folder whose name
// holds conversions the crash ends the same way and leaves the same dump
// (read as a format, "%s%n" made the filter hang, and nothing was written).
class CrashDumpInPercentFolder : public CrashDump {
protected:
    std::wstring FolderSuffix() const override { return L"-100%Secure-%s%n%d"; }
};

TEST_F(CrashDumpInPercentFolder, NullWriteLeavesOneMinidumpAndEnds) {
    EXPECT_EQ(RunTarget(L"null"), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    ExpectOneDumpOf(m_folder, DumpNames(m_folder), EXCEPTION_ACCESS_VIOLATION);
}

TEST_F(CrashDump, PureVirtualCallLeavesOneMinidump) {
    RunTarget(L"purecall");
    ExpectOneDumpOf(m_folder, DumpNames(m_folder), 0xC000000D);
}

TEST_F(CrashDump, SecondCrashInTheSameProcessWritesNoSecondFile) {
    RunTarget(L"twice");
    ExpectOneDumpOf(m_folder, DumpNames(m_folder), EXCEPTION_BREAKPOINT);
}

TEST_F(CrashDump, UnwritableWorkingFolderSendsTheDumpToTheTemporaryFolder) {
    wchar_t temp[MAX_PATH] = {};
    ASSERT_NE(::GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring tempFolder = temp;
    const std::vector<std::wstring> before = DumpNames(tempFolder);
    ASSERT_TRUE(SetFolderAccess(L"D:P(A;OICI;FRFX;;;WD)"));

    RunTarget(L"null");

    std::vector<std::wstring> added;
    for (const std::wstring& name : DumpNames(tempFolder)) {
        if (std::find(before.begin(), before.end(), name) == before.end()) added.push_back(name);
    }
    EXPECT_TRUE(DumpNames(m_folder).empty());
    ExpectOneDumpOf(tempFolder, added, EXCEPTION_ACCESS_VIOLATION);
    for (const std::wstring& name : added) ::DeleteFileW((tempFolder + name).c_str());
}

}  // namespace
