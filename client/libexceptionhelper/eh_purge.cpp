// Dump-file lists and their purge: a bounded number of dumps per folder, none
// older than the configured number of days.
#include <cwchar>

#include "DebugTrace.h"
#include "UniqueHandle.h"
#include "eh_exceptionhelper.h"
#include "eh_settings.h"

namespace {

constexpr LONGLONG kFileTimeTicksPerSecond = 10000000;

void DeleteDumpFile(const std::wstring& path) {
    if (::DeleteFileW(path.c_str())) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - Delete dump file[%s] successfully.", L"PurgeDumpFile",
                    path.c_str());
    } else {
        DebugTraceW('D', TRACE_SRC_W, L"%s - Delete dump file[%s] failed: [%d].", L"PurgeDumpFile",
                    path.c_str(), static_cast<int>(::GetLastError()));
    }
}

LONGLONG ToSeconds(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<LONGLONG>(value.QuadPart) / kFileTimeTicksPerSecond;
}

// Whole seconds since the file was last written; false when unknown.
bool GetFileAgeSeconds(const std::wstring& path, LONGLONG* ageSeconds) {
    UTIL::unique_handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    FILETIME lastWrite = {};
    if (!::GetFileTime(file.get(), nullptr, nullptr, &lastWrite)) return false;
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    *ageSeconds = ToSeconds(now) - ToSeconds(lastWrite);
    return true;
}

void AppendBackslash(std::wstring* folder) {
    if (!folder->empty() && folder->back() != L'\\') folder->push_back(L'\\');
}

}  // namespace

void GetDumpFileName(const wchar_t* folder, const wchar_t* pattern, DumpFileSet* dumpSet) {
    const std::wstring search = std::wstring(folder) + pattern;
    WIN32_FIND_DATAW found = {};
    UTIL::unique_find_handle finder(::FindFirstFileW(search.c_str(), &found));
    if (!finder) return;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::wstring path = std::wstring(folder) + found.cFileName;
        DebugTraceW('D', TRACE_SRC_W, L"%s - Found dump file: [%s]", L"GetDumpFileName",
                    path.c_str());
        dumpSet->insert(path);
    } while (::FindNextFileW(finder.get(), &found));
}

void PurgeDumpFile(DumpFileSet* dumpSet) {
    const int maximumFiles = EH::ReadDumpSetting(L"DumpMaximumFiles", 4);
    const int maxKeepDays = EH::ReadDumpSetting(L"DumpMaxKeepDay", 60);
    DebugTraceW('D', TRACE_SRC_W,
                L"%s - [Exception Helper] nMaximumFiles = [%d], nMaxKeepDays = [%d]",
                L"PurgeDumpFile", maximumFiles, maxKeepDays);

    int surplus = static_cast<int>(dumpSet->size()) - maximumFiles;
    const LONGLONG maxAgeSeconds = static_cast<LONGLONG>(maxKeepDays) * 86400;
    for (const std::wstring& path : *dumpSet) {
        if (surplus > 0) {
            DeleteDumpFile(path);
            --surplus;
            continue;
        }
        LONGLONG ageSeconds = 0;
        if (GetFileAgeSeconds(path, &ageSeconds) && ageSeconds >= maxAgeSeconds) {
            DeleteDumpFile(path);
        }
    }
    dumpSet->clear();
}

std::vector<EH::DumpFolder> EH::PurgedDumpFolders(const std::wstring& workingFolder) {
    // The dated pattern is split so that "??-" is not read as a trigraph.
    const wchar_t* dated =
        L"????????"
        L"-??????.dmp";
    return {{workingFolder, dated},
            {workingFolder + L"HBRF\\", dated},
            {workingFolder + L"..\\BM\\LOG\\", L"*.dmp"}};
}

void CleanupDumpFolders() {
    wchar_t working[kEhPathChars] = {};
    GetExceptionHelpWorkingPath(working, kEhPathChars, EH_PATH_WORKING_DIR);
    const std::wstring workingFolder = working;

    wchar_t windowsFolder[kEhPathChars] = {};
    ::GetWindowsDirectoryW(windowsFolder, kEhPathChars);
    std::wstring windowsDumpFolder = windowsFolder;
    AppendBackslash(&windowsDumpFolder);

    // Without a working folder the patterns would search the current folder.
    std::vector<DumpFileSet> purged;
    if (!workingFolder.empty()) {
        for (const EH::DumpFolder& dumps : EH::PurgedDumpFolders(workingFolder)) {
            purged.emplace_back();
            GetDumpFileName(dumps.folder.c_str(), dumps.pattern, &purged.back());
        }
    }
    DumpFileSet windowsDumps;
    // The system's own crash file is only listed, never deleted.
    GetDumpFileName(windowsDumpFolder.c_str(), L"qpacrash.dmp", &windowsDumps);

    for (DumpFileSet& dumps : purged) PurgeDumpFile(&dumps);
}
