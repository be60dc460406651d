// Crash-dump helper: writes one minidump when the process dies of an
// exception nothing handles, turns a pure virtual call into such an
// exception, and keeps the dump files near the executable bounded.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

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

// One folder the purge keeps bounded, with the pattern its dumps match.
struct DumpFolder {
    std::wstring folder;  // with a trailing backslash
    const wchar_t* pattern;
};

// The folders CleanupDumpFolders purges, for a working folder (with its
// trailing backslash), in purge order.
std::vector<DumpFolder> PurgedDumpFolders(const std::wstring& workingFolder);

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
