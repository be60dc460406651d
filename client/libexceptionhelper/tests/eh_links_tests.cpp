// Links planted by another user where the helper writes or deletes dumps.
// Under Wine a Unix symlink stands in for a junction or a symbolic link.
#include <gtest/gtest.h>
#include <windows.h>
// windows.h first: sddl.h needs its types.
#include <sddl.h>

#include <string>
#include <vector>

#include "ProductFolder.h"
#include "UniqueHandle.h"
#include "UnixLinks.h"
#include "eh_exceptionhelper.h"
#include "eh_test_support.h"

using namespace EHTEST;

namespace {

const std::string kTargetBytes = "someone else's file";

bool WriteTarget(const std::wstring& path, int ageDays) {
    if (!CreateDumpFile(path, ageDays)) return false;
    UTIL::unique_handle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    FILETIME keep = {0xFFFFFFFF, 0xFFFFFFFF};  // the age set above stays
    ::SetFileTime(file.get(), nullptr, nullptr, &keep);
    return file && ::WriteFile(file.get(), kTargetBytes.data(),
                               static_cast<DWORD>(kTargetBytes.size()), &written, nullptr);
}

std::string ReadBytes(const std::wstring& path) {
    UTIL::unique_handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char buffer[64] = {};
    DWORD read = 0;
    if (!file || !::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) return "<none>";
    return std::string(buffer, read);
}

std::wstring DumpName(const SYSTEMTIME& time) {
    wchar_t name[32] = {};
    _snwprintf(name, 31, L"%04d%02d%02d-%02d%02d%02d.dmp", time.wYear, time.wMonth, time.wDay,
               time.wHour, time.wMinute, time.wSecond);
    return name;
}

std::wstring LaterDumpName(int seconds) {
    FILETIME utc = {};
    ::GetSystemTimeAsFileTime(&utc);
    ULARGE_INTEGER value = {{utc.dwLowDateTime, utc.dwHighDateTime}};
    value.QuadPart += static_cast<ULONGLONG>(seconds) * 10000000ULL;
    FILETIME later = {value.LowPart, value.HighPart};
    FILETIME local = {};
    SYSTEMTIME time = {};
    ::FileTimeToLocalFileTime(&later, &local);
    ::FileTimeToSystemTime(&local, &time);
    return DumpName(time);
}

std::vector<std::wstring> g_createdWith;  // "<disposition> <access list>" per call

HANDLE WINAPI RecordingCreate(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
    wchar_t* text = nullptr;
    if (attributes != nullptr &&
        ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            attributes->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
            nullptr)) {
        g_createdWith.push_back(std::to_wstring(disposition) + L" " + text);
        ::LocalFree(text);
    } else {
        g_createdWith.push_back(std::to_wstring(disposition) + L" no attributes");
    }
    return ::CreateFileW(path, access, share, attributes, disposition, flags, templateFile);
}

// Links at every dump name of the coming half minute, all to one file: the
// dump replaces the link at its name, writes nothing through any of them,
// and is made new with an access list for SYSTEM and Administrators alone.
TEST(DumpLinks, LinksAtComingDumpNamesKeepTheirTargetAndTheDumpTakesTheName) {
    const std::wstring working = WorkingFolder();
    const std::wstring target = working + L"zel_link_target.bin";
    ASSERT_TRUE(WriteTarget(target, 0));
    CScopedDumpSetting minimumFree(L"DumpMinimumFreeSpaceInMB", 1);
    CScopedDumpSetting maximumFiles(L"DumpMaximumFiles", 100);
    std::vector<std::wstring> names;
    {
        ZELTEST::CPlantedLinks links;
        for (int second = -1; second <= 30; ++second) {
            names.push_back(LaterDumpName(second));
            links.Add(target, working + names.back());
        }
        ASSERT_TRUE(links.Plant());
        CExceptionHelper helper(false, MyUnhandledExceptionHandler);
        g_createdWith.clear();
        EH::SetDumpFileCreate(RecordingCreate);
        RunFilterOnThisThread();
        EH::SetDumpFileCreate(nullptr);

        int dumps = 0;
        for (const std::wstring& name : names) {
            const std::string bytes = ReadBytes(working + name);
            if (bytes.compare(0, 4, "MDMP") == 0) {
                ++dumps;
                ::DeleteFileW((working + name).c_str());  // a plain file now
            } else {
                EXPECT_EQ(bytes, kTargetBytes);
            }
        }
        EXPECT_EQ(dumps, 1);
    }
    EXPECT_EQ(ReadBytes(target), kTargetBytes);
    const std::vector<std::wstring> expected = {L"1 D:P(A;;FA;;;SY)(A;;FA;;;BA)"};  // CREATE_NEW
    EXPECT_EQ(g_createdWith, expected);
    ::DeleteFileW(target.c_str());
}

// Links among the dumps of the three purged folders, at the oldest name (the
// count rule) and at the newest (the age rule), to files old enough to go:
// their targets stay, and the ordinary dumps are purged as without them.
TEST(PurgeLinks, LinkedDumpsKeepTheirTargetsAndOrdinaryDumpsArePurgedAsBefore) {
    const std::wstring working = WorkingFolder();
    const std::wstring folders[] = {working, working + L"HBRF\\", working + L"..\\BM\\LOG\\"};
    ZELTEST::CProductFolder targets(L"purge_link_targets");
    {
        ZELTEST::CPlantedLinks links;
        for (int index = 0; index < 3; ++index) {
            ASSERT_TRUE(ZELTEST::CreateFolders(folders[index]));
            const std::wstring number = std::to_wstring(index);
            ASSERT_TRUE(WriteTarget(targets.Root() + L"old" + number, 400));
            ASSERT_TRUE(WriteTarget(targets.Root() + L"new" + number, 400));
            links.Add(targets.Root() + L"old" + number, folders[index] + L"20000101-000000.dmp");
            links.Add(targets.Root() + L"new" + number, folders[index] + L"20991231-000000.dmp");
            // Five ordinary dumps, the fourth 61 days old: the first goes by
            // count, the fourth by age.
            for (int day = 1; day <= 5; ++day) {
                wchar_t name[32] = {};
                _snwprintf(name, 31, L"202601%02d-120000.dmp", day);
                ASSERT_TRUE(CreateDumpFile(folders[index] + name, day == 4 ? 61 : 0));
            }
        }
        ASSERT_TRUE(links.Plant());
        CleanupDumpFolders();
    }
    for (int index = 0; index < 3; ++index) {
        const std::wstring number = std::to_wstring(index);
        EXPECT_EQ(ReadBytes(targets.Root() + L"old" + number), kTargetBytes) << index;
        EXPECT_EQ(ReadBytes(targets.Root() + L"new" + number), kTargetBytes) << index;
        std::wstring kept;
        for (const std::wstring& name : ListFiles(folders[index], L"*.dmp")) kept += name + L" ";
        EXPECT_EQ(kept, L"20260102-120000.dmp 20260103-120000.dmp 20260105-120000.dmp ") << index;
        DeleteFiles(folders[index], L"*.dmp");
    }
    ::RemoveDirectoryW(folders[1].c_str());
    ::RemoveDirectoryW(folders[2].c_str());
    ::RemoveDirectoryW((working + L"..\\BM\\").c_str());
}

// "..\BM\LOG" itself a link to another folder: nothing there is touched.
TEST(PurgeLinks, LogFolderThatIsALinkIsNotPurged) {
    const std::wstring bm = WorkingFolder() + L"..\\BM\\";
    ZELTEST::CProductFolder elsewhere(L"purge_linked_log");
    ASSERT_TRUE(ZELTEST::CreateFolders(bm));
    // An empty folder left by another test's run stands where the link goes.
    ::RemoveDirectoryW((bm + L"LOG").c_str());
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((bm + L"LOG").c_str()));
    CScopedDumpSetting maximumFiles(L"DumpMaximumFiles", 0);
    for (int index = 1; index <= 6; ++index) {
        ASSERT_TRUE(CreateDumpFile(elsewhere.Root() + L"2026010" + std::to_wstring(index) +
                                       L"-120000.dmp",
                                   400));
    }
    {
        ZELTEST::CPlantedLinks links;
        links.Add(elsewhere.Root(), bm + L"LOG");
        ASSERT_TRUE(links.Plant());
        CleanupDumpFolders();
    }
    EXPECT_EQ(ListFiles(elsewhere.Root(), L"*.dmp").size(), 6u);
    ::RemoveDirectoryW(bm.c_str());
}

}  // namespace
