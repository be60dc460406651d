// rand_s (the platform's random numbers, for a temporary name nobody can
// foresee) is declared only when this comes before the first CRT header.
#define _CRT_RAND_S
#include "eh_exceptionhelper.h"

#include <dbghelp.h>
#include <stdlib.h>

#include <cwchar>
#include <mutex>
#include <vector>

#include "DebugTrace.h"
#include "PathLinks.h"
#include "UniqueHandle.h"
#include "eh_settings.h"

namespace {

constexpr size_t kDumpFolderChars = 488;
constexpr size_t kDumpTemplateChars = 520;
constexpr size_t kDumpPrefixChars = kDumpFolderChars + 1;  // the folder and a backslash
constexpr wchar_t kDumpNameFormat[] = L"%04d%02d%02d-%02d%02d%02d.dmp";
constexpr DWORD kInvalidParameterException = 0xC000000D;

// Process-wide, set once by InitExceptionHandlerW on the entry thread before
// any other thread exists; the filter reads it under the mutex.
struct CHelperState {
    wchar_t dumpFolder[kDumpPrefixChars] = {};  // with its backslash
    MINIDUMP_TYPE dumpType = MiniDumpWithHandleData;
    bool filterRecorded = false;
    LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
    bool pureCallRecorded = false;
    _purecall_handler previousPureCall = nullptr;
    bool dumpWritten = false;
    std::mutex filterLock;
};

CHelperState& State() {
    static CHelperState state;
    return state;
}

EH::FreeSpaceQuery g_freeSpaceQuery = nullptr;
EH::DumpFileCreate g_dumpFileCreate = ::CreateFileW;

BOOL QueryFreeSpace(const wchar_t* root, ULARGE_INTEGER* freeToCaller) {
    if (g_freeSpaceQuery != nullptr) return g_freeSpaceQuery(root, freeToCaller);
    return ::GetDiskFreeSpaceExW(root, freeToCaller, nullptr, nullptr);
}

// Checks the folder's own access list against this process's token: the
// service may run in a folder it can read but not write.
bool IsWritableFolder(const wchar_t* folder) {
    const SECURITY_INFORMATION parts =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    ::GetFileSecurityW(folder, parts, nullptr, 0, &needed);
    if (needed == 0) return false;
    std::vector<BYTE> descriptor(needed);
    if (!::GetFileSecurityW(folder, parts, descriptor.data(), needed, &needed)) return false;

    UTIL::unique_handle processToken;
    UTIL::unique_handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY,
                            processToken.put()) ||
        !::DuplicateToken(processToken.get(), SecurityImpersonation, token.put())) {
        return false;
    }
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    DWORD desired = FILE_ADD_FILE;
    ::MapGenericMask(&desired, &mapping);
    PRIVILEGE_SET privileges = {};
    DWORD privilegesSize = sizeof(privileges);
    DWORD granted = 0;
    BOOL allowed = FALSE;
    return ::AccessCheck(descriptor.data(), token.get(), desired, &mapping, &privileges,
                         &privilegesSize, &granted, &allowed) &&
           allowed;
}

void ChooseDumpFolder(const wchar_t* workingFolder, wchar_t* dumpFolder) {
    if (wcslen(workingFolder) >= kDumpFolderChars || !IsWritableFolder(workingFolder)) {
        ::GetTempPathW(static_cast<DWORD>(kDumpFolderChars), dumpFolder);
    } else {
        wcsncpy(dumpFolder, workingFolder, kDumpFolderChars - 1);
    }
    dumpFolder[kDumpFolderChars - 1] = L'\0';
}

// The dump-name template is kept in two parts: the folder, taken as it is,
// and the time format. A folder used as part of a format would have its '%'
// characters read as conversions ("100%Secure", "%s%n"): the filter then
// reads arguments that are not there, and may hang or die without a dump.
void BuildDumpTemplate(const wchar_t* dumpFolder) {
    const size_t length = wcslen(dumpFolder);
    const wchar_t* separator = (length > 0 && dumpFolder[length - 1] == L'\\') ? L"" : L"\\";
    wchar_t* target = State().dumpFolder;
    _snwprintf(target, kDumpPrefixChars, L"%s%s", dumpFolder, separator);
    target[kDumpPrefixChars - 1] = L'\0';
}

// True when the executable's drive has more free megabytes than required.
bool CheckDiskSpaceAvailableToGenerateDump() {
    wchar_t drive[kEhPathChars] = {};
    GetExceptionHelpWorkingPath(drive, kEhPathChars, EH_PATH_DRIVE);
    const std::wstring root = std::wstring(drive) + L"\\";
    ULARGE_INTEGER freeToCaller = {};
    if (!QueryFreeSpace(root.c_str(), &freeToCaller)) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Unable to get disk free space: [%d].",
                    L"CheckDiskSpaceAvailableToGenerateDump", static_cast<int>(::GetLastError()));
        return false;
    }
    const int minimumMB = EH::ReadDumpSetting(L"DumpMinimumFreeSpaceInMB", 1024);
    DebugTraceW('D', TRACE_SRC_W, L"%s - [Exception Helper] nMinimumFreeSpaceInMB = [%d].",
                L"CheckDiskSpaceAvailableToGenerateDump", minimumMB);
    const DWORD freeMB = static_cast<DWORD>(freeToCaller.QuadPart >> 20);
    if (freeMB <= static_cast<DWORD>(minimumMB)) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - Disk free space [%d] is less than dump available space setting [%d].",
                    L"CheckDiskSpaceAvailableToGenerateDump", static_cast<int>(freeMB), minimumMB);
        return false;
    }
    return true;
}

// SYSTEM and Administrators with full control, nothing inherited from the
// folder: a full-memory dump holds whatever the service had in memory. Built
// in place, off the heap: the filter runs inside a crashing process.
class CDumpFileSecurity {
public:
    bool Build() {
        DWORD systemBytes = sizeof(m_system);
        DWORD administratorsBytes = sizeof(m_administrators);
        auto* acl = reinterpret_cast<PACL>(m_acl);
        if (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, m_system, &systemBytes) ||
            !::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, m_administrators,
                                  &administratorsBytes) ||
            !::InitializeAcl(acl, sizeof(m_acl), ACL_REVISION) ||
            !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, m_system) ||
            !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, m_administrators) ||
            !::InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE) ||
            !::SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
            return false;
        }
        m_attributes.nLength = sizeof(m_attributes);
        m_attributes.lpSecurityDescriptor = &m_descriptor;
        m_attributes.bInheritHandle = FALSE;
        return true;
    }
    SECURITY_ATTRIBUTES* Attributes() { return &m_attributes; }

private:
    alignas(DWORD) BYTE m_system[SECURITY_MAX_SID_SIZE] = {};
    alignas(DWORD) BYTE m_administrators[SECURITY_MAX_SID_SIZE] = {};
    alignas(DWORD) BYTE m_acl[256] = {};
    SECURITY_DESCRIPTOR m_descriptor = {};
    SECURITY_ATTRIBUTES m_attributes = {};
};

// A new file under a name nobody can foresee, in the dump folder. CREATE_NEW
// fails on anything planted there (a file, a link, even a dangling one) and
// leaves it alone. Delete sharing lets the file be renamed while held.
UTIL::unique_handle CreateNewDumpFile(CDumpFileSecurity& security,
                                      wchar_t (&tempPath)[kDumpTemplateChars]) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        unsigned int high = 0;
        unsigned int low = 0;
        if (rand_s(&high) != 0 || rand_s(&low) != 0) return UTIL::unique_handle();
        _snwprintf(tempPath, kDumpTemplateChars, L"%s~dmp%08X%08X.tmp", State().dumpFolder,
                   high, low);
        tempPath[kDumpTemplateChars - 1] = L'\0';
        UTIL::unique_handle file(g_dumpFileCreate(tempPath, GENERIC_WRITE | DELETE,
                                                  FILE_SHARE_DELETE, security.Attributes(),
                                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file || ::GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    return UTIL::unique_handle();
}

// Puts the new, still empty file at the dump name. The rename goes through
// the handle: it replaces whatever stands at the name, a file or a link
// itself (Windows and Wine alike), writes through nothing, and cannot move
// anything but this file. The dump is then written through the handle.
// The dump folder (the working folder, or the temporary folder) is measured
// by its own final path: an installation behind a junction or a symbolic
// link keeps its dump; a folder that cannot be resolved refuses it.
bool MoveOverDumpName(HANDLE file, const wchar_t* outputFile) {
    const UTIL::CTrustedRoot dumpFolder(State().dumpFolder);
    if (!UTIL::RenameThroughHandle(file, outputFile)) {
        DebugTraceW('F', TRACE_SRC_W, L"%s - Rename failed: [%d].", L"MyUnhandledExceptionHandler",
                    static_cast<int>(::GetLastError()));
        return false;
    }
    // A second hard link made to the new file in the meantime would keep a
    // copy of the dump readable elsewhere.
    if (!UTIL::IsSinglePlainFileBelow(file, dumpFolder, outputFile)) {
        DebugTraceW('F', TRACE_SRC_W, L"%s - Dump file is not at [%s].",
                    L"MyUnhandledExceptionHandler", outputFile);
        return false;
    }
    return true;
}

void WriteDump(EXCEPTION_POINTERS* exceptionPointers) {
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    wchar_t stamp[32] = {};
    _snwprintf(stamp, 31, kDumpNameFormat, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
               now.wSecond);
    wchar_t outputFile[kDumpTemplateChars] = {};
    _snwprintf(outputFile, kDumpTemplateChars, L"%s%s", State().dumpFolder, stamp);
    outputFile[kDumpTemplateChars - 1] = L'\0';
    DebugTraceW('F', TRACE_SRC_W, L"%s - [Exception Helper] wszOutputFile = [%s].",
                L"MyUnhandledExceptionHandler", outputFile);

    CDumpFileSecurity security;
    wchar_t tempPath[kDumpTemplateChars] = {};
    UTIL::unique_handle file =
        security.Build() ? CreateNewDumpFile(security, tempPath) : UTIL::unique_handle();
    if (!file) {
        DebugTraceW('F', TRACE_SRC_W, L"%s - CreateFile failed: [%d].",
                    L"MyUnhandledExceptionHandler", static_cast<int>(::GetLastError()));
        return;
    }
    if (!MoveOverDumpName(file.get(), outputFile)) {
        UTIL::DeleteThroughHandle(file.get());
        return;
    }
    MINIDUMP_EXCEPTION_INFORMATION exceptionInfo = {};
    exceptionInfo.ThreadId = ::GetCurrentThreadId();
    exceptionInfo.ExceptionPointers = exceptionPointers;
    exceptionInfo.ClientPointers = FALSE;
    State().dumpWritten =
        ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(),
                            State().dumpType, &exceptionInfo, nullptr, nullptr) != FALSE;
    if (!State().dumpWritten) {
        DebugTraceW('F', TRACE_SRC_W, L"%s - [Exception Helper] MiniDumpWriteDump failed: [%d].",
                    L"MyUnhandledExceptionHandler", static_cast<int>(::GetLastError()));
    }
    file.reset();
    CleanupDumpFolders();  // the new dump counts against the limits
}

}  // namespace

namespace EH {
void SetFreeSpaceQuery(FreeSpaceQuery query) {
    g_freeSpaceQuery = query;
}
void SetDumpFileCreate(DumpFileCreate create) {
    g_dumpFileCreate = create != nullptr ? create : ::CreateFileW;
}
}  // namespace EH

int InitExceptionHandlerW(const wchar_t* workingFolder, bool fullMemory,
                          LPTOP_LEVEL_EXCEPTION_FILTER filter) {
    CleanupDumpFolders();
    CHelperState& state = State();
    if (state.filterRecorded) return 1;

    const int enable = EH::ReadDumpSetting(L"DumpEnableExceptionHelper", 1);
    DebugTraceW('D', TRACE_SRC_W, L"%s - [Exception Helper] nEnable = [%d].",
                L"InitExceptionHandlerW", enable);
    if (enable == 0) return -1;

    wchar_t dumpFolder[kDumpFolderChars] = {};
    ChooseDumpFolder(workingFolder, dumpFolder);
    BuildDumpTemplate(dumpFolder);
    state.dumpType = fullMemory ? MiniDumpWithFullMemory : MiniDumpWithHandleData;
    state.previousFilter = ::SetUnhandledExceptionFilter(filter);
    state.filterRecorded = true;
    return 0;
}

LONG WINAPI MyUnhandledExceptionHandler(EXCEPTION_POINTERS* exceptionPointers) {
    std::lock_guard<std::mutex> guard(State().filterLock);
    if (State().dumpWritten) {
        DebugTraceW('I', TRACE_SRC_W, L"%s - Dump file has been created already.",
                    L"MyUnhandledExceptionHandler");
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (CheckDiskSpaceAvailableToGenerateDump()) {
        WriteDump(exceptionPointers);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    DebugTraceW('F', TRACE_SRC_W, L"%s - Available space is not sufficient to generate dump.",
                L"MyUnhandledExceptionHandler");
    return EXCEPTION_CONTINUE_SEARCH;
}

void __cdecl PureCallHandler() {
    ::RaiseException(kInvalidParameterException, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

CExceptionHelper::CExceptionHelper(bool fullMemory, LPTOP_LEVEL_EXCEPTION_FILTER filter) {
    wchar_t workingFolder[kEhPathChars] = {};
    GetExceptionHelpWorkingPath(workingFolder, kEhPathChars, EH_PATH_WORKING_DIR);
    InitExceptionHandlerW(workingFolder, fullMemory, filter);
    CHelperState& state = State();
    if (!state.pureCallRecorded) {
        state.previousPureCall = _set_purecall_handler(PureCallHandler);
        state.pureCallRecorded = true;
    }
}

// Puts back what was there before; a later helper may then install again.
CExceptionHelper::~CExceptionHelper() {
    CHelperState& state = State();
    if (state.pureCallRecorded) {
        _set_purecall_handler(state.previousPureCall);
        state.pureCallRecorded = false;
    }
    if (state.filterRecorded) {
        ::SetUnhandledExceptionFilter(state.previousFilter);
        state.filterRecorded = false;
    }
}

#if defined(__GNUC__)
// GCC's vtables point pure slots at __cxa_pure_virtual, which would abort
// without reaching the CRT's pure-call handler; route it there instead. The
// import library has no _get_purecall_handler, hence the swap.
extern "C" void __cxa_pure_virtual() {
    const _purecall_handler handler = _set_purecall_handler(nullptr);
    _set_purecall_handler(handler);
    if (handler != nullptr) handler();
    ::abort();
}
#endif
