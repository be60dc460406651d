// Dump-file lists and their purge: a bounded number of dumps per folder, none
// older than the configured number of days.
#include <cwchar>
#include <vector>

#include "DebugTrace.h"
#include "PathLinks.h"
#include "UniqueHandle.h"
#include "eh_exceptionhelper.h"
#include "eh_settings.h"

namespace {

constexpr LONGLONG kFileTimeTicksPerSecond = 10000000;
constexpr wchar_t kDatedDumpPattern[] =
    L"????????"
    L"-??????.dmp";  // split: "??-" would be a trigraph
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// One dump file, opened once: its checks, its time and its deletion all go
// through this handle, so a name swapped for a link in the meantime is never
// followed. A candidate that is not one plain file at its own name (a link,
// a file reached through a linked folder, a hard link to a file elsewhere)
// is left alone: Wine deletes the target of a symlink even through a handle.
class CDumpCandidate {
public:
    explicit CDumpCandidate(const std::wstring& path)
        : m_path(path),
          m_file(UTIL::OpenFileNoFollow(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll)),
          m_openError(m_file ? ERROR_SUCCESS : ::GetLastError()),
          m_plain(m_file && UTIL::IsSinglePlainFileAt(m_file.get(), path.c_str(), &m_info)) {
        if (m_file && !m_plain) {
            DebugTraceW('W', TRACE_SRC_W, L"%s - Dump file[%s] is not a plain file, left alone.",
                        L"PurgeDumpFile", path.c_str());
        }
    }

    bool Plain() const { return m_plain; }
    // A file that could not be opened counts, as it did when deleted by
    // name; one seen to be something other than a plain file does not.
    bool Counted() const { return m_plain || !m_file; }

    // Whole seconds since the file was last written.
    LONGLONG AgeSeconds() const {
        FILETIME now = {};
        ::GetSystemTimeAsFileTime(&now);
        return ToSeconds(now) - ToSeconds(m_info.ftLastWriteTime);
    }

    // A file that could not be opened is reported with the open's error, as
    // a deletion by name reported it.
    void Delete() {
        const bool deleted = m_file && UTIL::DeleteThroughHandle(m_file.get());
        const DWORD error = m_file ? ::GetLastError() : m_openError;
        m_file.reset();  // the file goes with its last handle
        if (deleted) {
            DebugTraceW('D', TRACE_SRC_W, L"%s - Delete dump file[%s] successfully.",
                        L"PurgeDumpFile", m_path.c_str());
        } else {
            DebugTraceW('D', TRACE_SRC_W, L"%s - Delete dump file[%s] failed: [%d].",
                        L"PurgeDumpFile", m_path.c_str(), static_cast<int>(error));
        }
    }

private:
    static LONGLONG ToSeconds(const FILETIME& time) {
        ULARGE_INTEGER value;
        value.LowPart = time.dwLowDateTime;
        value.HighPart = time.dwHighDateTime;
        return static_cast<LONGLONG>(value.QuadPart) / kFileTimeTicksPerSecond;
    }

    const std::wstring& m_path;
    UTIL::unique_handle m_file;
    DWORD m_openError;
    BY_HANDLE_FILE_INFORMATION m_info = {};
    bool m_plain;
};

void AppendBackslash(std::wstring* folder) {
    if (!folder->empty() && folder->back() != L'\\') folder->push_back(L'\\');
}

// Lists a folder's dumps only when it is a plain folder: a junction or
// symlink in its place would make the purge delete files elsewhere. A
// missing folder is the usual case and says nothing.
void ListPurgedFolder(const std::wstring& folder, const wchar_t* pattern, DumpFileSet* dumpSet) {
    const UTIL::FolderState state = UTIL::CheckFolder(folder.c_str());
    if (state == UTIL::FolderState::Plain) {
        GetDumpFileName(folder.c_str(), pattern, dumpSet);
    } else if (state != UTIL::FolderState::Missing) {
        DebugTraceW('W', TRACE_SRC_W, L"%s - Dump folder[%s] is %s, not purged.",
                    L"CleanupDumpFolders", folder.c_str(), UTIL::FolderStateName(state));
    }
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

    // Each candidate is opened once, all before the count: one left alone (a
    // link) does not count, so planted links neither spare nor cost an
    // ordinary dump.
    std::vector<CDumpCandidate> candidates;
    candidates.reserve(dumpSet->size());
    int counted = 0;
    for (const std::wstring& path : *dumpSet) {
        candidates.emplace_back(path);
        if (candidates.back().Counted()) ++counted;
    }
    int surplus = counted - maximumFiles;
    const LONGLONG maxAgeSeconds = static_cast<LONGLONG>(maxKeepDays) * 86400;
    for (CDumpCandidate& candidate : candidates) {
        if (!candidate.Counted()) continue;
        if (surplus > 0) {
            --surplus;
            candidate.Delete();
            continue;
        }
        if (candidate.Plain() && candidate.AgeSeconds() >= maxAgeSeconds) candidate.Delete();
    }
    dumpSet->clear();
}

std::vector<EH::DumpFolder> EH::PurgedDumpFolders(const std::wstring& workingFolder) {
    return {{workingFolder, kDatedDumpPattern},
            {workingFolder + L"HBRF\\", kDatedDumpPattern},
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
            ListPurgedFolder(dumps.folder, dumps.pattern, &purged.back());
        }
    }
    DumpFileSet windowsDumps;
    // The system's own crash file is only listed, never deleted.
    GetDumpFileName(windowsDumpFolder.c_str(), L"qpacrash.dmp", &windowsDumps);

    for (DumpFileSet& dumps : purged) PurgeDumpFile(&dumps);
}
