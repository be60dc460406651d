// Crash-dump helper: writes one minidump when the process dies of an
// exception nothing handles, turns a pure virtual call into such an
// exception, and keeps the dump files near the executable bounded.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "PathLinks.h"

enum EH_PATH_TYPE { EH_PATH_WORKING_DIR = 0, EH_PATH_DRIVE = 2 };

// Buffer size, in characters, of every path this helper hands out.
constexpr DWORD kEhPathChars = 261;

// Ordered by code units, then length: dated names come out oldest first.
using DumpFileSet = std::set<std::wstring>;

void GetExceptionHelpWorkingPath(wchar_t* buffer, DWORD size, int pathType);
int InitExceptionHandlerW(const wchar_t* workingFolder, bool fullMemory,
                          LPTOP_LEVEL_EXCEPTION_FILTER filter);
LONG WINAPI MyUnhandledExceptionHandler(EXCEPTION_POINTERS* exceptionPointers);
void __cdecl PureCallHandler();
void GetDumpFileName(const wchar_t* folder, const wchar_t* pattern, DumpFileSet* dumpSet);
void PurgeDumpFile(DumpFileSet* dumpSet);
void CleanupDumpFolders();

namespace EH {

// One folder the purge keeps bounded, with the pattern its dumps match and
// the installation's folder it belongs to: links at or above that folder are
// the installation's own, links below it are refused.
struct DumpFolder {
    std::wstring folder;  // with a trailing backslash
    const wchar_t* pattern;
    std::wstring trustedRoot;
};

// The folders CleanupDumpFolders purges, for a working folder (with its
// trailing backslash), in purge order.
std::vector<DumpFolder> PurgedDumpFolders(const std::wstring& workingFolder);

// True when a long file name matches a purge pattern: '?' is one character,
// '*' any run of them, other characters compare as Windows compares names.
// Windows' search also matches 8.3 short names ("x.dmpx" is "X~1.DMP" and
// found by "*.dmp"), so every listed name is checked again with this.
bool LongNameMatches(const wchar_t* name, const wchar_t* pattern);

// A dump that counts toward "DumpMaximumFiles": a file the purge could open
// that is one plain file (no link, one hard link) at its own name below its
// folder. Everything else that matches the pattern is left alone.
struct CountedDump {
    std::wstring path;
    ULONGLONG bytes = 0;
    FILETIME lastWrite = {};
};

// One folder as the purge judges it, without deleting anything.
struct DumpFolderSurvey {
    UTIL::FolderState state = UTIL::FolderState::Missing;  // Plain, or why it is skipped
    std::vector<CountedDump> counted;                        // oldest name first
    size_t leftAlone = 0;  // matching names that are not counted (links, unopenable)
};
DumpFolderSurvey SurveyDumpFolder(const DumpFolder& folder);

// How long one CleanupDumpFolders may take before it stops (it runs before
// the service connects to its dispatcher); the next purge (the next start,
// or the one after a dump) goes on where it stopped.
constexpr ULONGLONG kPurgeBudgetMs = 2000;

// Seam over the listing's find calls: Wine has no 8.3 short names, so a test
// scripts the entries Windows would list through one. nullptr restores
// FindFirstFileExW / FindNextFileW / FindClose.
struct DumpListingCalls {
    HANDLE(WINAPI* findFirst)(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID,
                              DWORD);
    BOOL(WINAPI* findNext)(HANDLE, LPWIN32_FIND_DATAW);
    BOOL(WINAPI* findClose)(HANDLE);
};
void SetDumpListingCalls(const DumpListingCalls* calls);

// Seam for the purge's clock, so that a test can run the budget out without
// waiting for it. nullptr restores GetTickCount64.
using PurgeClock = ULONGLONG(WINAPI*)();
void SetPurgeClock(PurgeClock clock);

}  // namespace EH

class CExceptionHelper {
public:
    CExceptionHelper(bool fullMemory, LPTOP_LEVEL_EXCEPTION_FILTER filter);
    ~CExceptionHelper();
    CExceptionHelper(const CExceptionHelper&) = delete;
    CExceptionHelper& operator=(const CExceptionHelper&) = delete;
};

namespace EH {

// Seam for the free-space figure: a test cannot make a real disk hold an
// exact number of free megabytes. nullptr restores GetDiskFreeSpaceExW.
using FreeSpaceQuery = BOOL (*)(const wchar_t* root, ULARGE_INTEGER* freeToCaller);
void SetFreeSpaceQuery(FreeSpaceQuery query);

// Seam for the dump file's creation: Wine keeps no file access list, so a
// test records the security attributes the dump is created with. nullptr
// restores CreateFileW.
using DumpFileCreate = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                       HANDLE);
void SetDumpFileCreate(DumpFileCreate create);

}  // namespace EH
