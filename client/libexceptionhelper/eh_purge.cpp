// Dump-file lists and their purge: a bounded number of dumps per folder, none
// older than the configured number of days.
#include <algorithm>
#include <cwchar>
#include <map>
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
constexpr wchar_t kPurge[] = L"PurgeDumpFile";

const EH::DumpListingCalls kPlatformListing = {::FindFirstFileExW, ::FindNextFileW, ::FindClose};
const EH::DumpListingCalls* g_listing = &kPlatformListing;
EH::PurgeClock g_purgeClock = ::GetTickCount64;

// One listed entry: what the listing already tells, so that what cannot
// qualify is never opened.
struct ListedDump {
    std::wstring name;
    DWORD attributes = 0;
};

bool ByName(const ListedDump& left, const ListedDump& right) { return left.name < right.name; }

// The find handle, closed through the seam that opened it.
class CFindHandle {
public:
    explicit CFindHandle(HANDLE handle) : m_handle(handle) {}
    ~CFindHandle() {
        if (Valid()) g_listing->findClose(m_handle);
    }
    CFindHandle(const CFindHandle&) = delete;
    CFindHandle& operator=(const CFindHandle&) = delete;
    bool Valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

// The files of `folder` whose own long name matches `pattern`, in name order
// (dated names: oldest first). Folders are never candidates. The basic
// information level leaves the short names out; the platform still matches
// the pattern against them, so the long name is checked here.
std::vector<ListedDump> ListMatches(const std::wstring& folder, const wchar_t* pattern) {
    std::vector<ListedDump> listed;
    WIN32_FIND_DATAW found = {};
    const CFindHandle finder(g_listing->findFirst((folder + pattern).c_str(), FindExInfoBasic,
                                                  &found, FindExSearchNameMatch, nullptr,
                                                  FIND_FIRST_EX_LARGE_FETCH));
    if (!finder.Valid()) return listed;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;  // "." and ".." too
        if (!EH::LongNameMatches(found.cFileName, pattern)) continue;
        listed.push_back({found.cFileName, found.dwFileAttributes});
    } while (g_listing->findNext(finder.Get(), &found));
    std::sort(listed.begin(), listed.end(), ByName);
    return listed;
}

// The time one CleanupDumpFolders may take. The "Found" lines may use the
// first half; the rest is kept for deletions, so every purge makes progress
// however slow the log server takes the lines.
class CPurgeDeadline {
public:
    explicit CPurgeDeadline(ULONGLONG budgetMs) : m_start(g_purgeClock()), m_budgetMs(budgetMs) {}
    ULONGLONG ElapsedMs() const { return g_purgeClock() - m_start; }
    bool Passed() const { return ElapsedMs() >= m_budgetMs; }
    bool ListingTimeLeft() const { return ElapsedMs() < m_budgetMs / 2; }

private:
    ULONGLONG m_start;
    ULONGLONG m_budgetMs;
};

// A purged folder, checked against the trusted root it belongs to: an
// installation behind a junction or a symbolic link keeps its purge, a link
// planted below the root is refused.
class CPurgedFolder {
public:
    explicit CPurgedFolder(const EH::DumpFolder& folder)
        : m_folder(folder), m_root(folder.trustedRoot.c_str()) {
        m_state = UTIL::CheckFolderBelow(m_root, folder.folder.c_str());
        if (m_state == UTIL::FolderState::Plain)
            m_finalFolder = m_root.ExpectedFinalPath(folder.folder.c_str());
    }

    UTIL::FolderState State() const { return m_state; }
    const EH::DumpFolder& Folder() const { return m_folder; }
    std::wstring PathOf(const std::wstring& name) const { return m_folder.folder + name; }
    // Where a dump of that name must finally be.
    std::wstring FinalPathOf(const std::wstring& name) const {
        const bool separated = !m_finalFolder.empty() && m_finalFolder.back() == L'\\';
        return m_finalFolder + (separated ? L"" : L"\\") + name;
    }

private:
    EH::DumpFolder m_folder;
    UTIL::CTrustedRoot m_root;
    UTIL::FolderState m_state;
    std::wstring m_finalFolder;
};

LONGLONG ToSeconds(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<LONGLONG>(value.QuadPart) / kFileTimeTicksPerSecond;
}

// One candidate, opened once: its checks, its time and its deletion go
// through this handle, so a name swapped for a link in the meantime is never
// followed. It counts only when it is one plain file at its own name (Wine
// deletes the target of a symlink even through a handle); a candidate the
// listing already shows as a reparse point is not even opened. The handle
// closes with the object: one candidate is open at a time.
class CDumpCandidate {
public:
    CDumpCandidate(const CPurgedFolder& folder, const ListedDump& listed, bool traced)
        : m_path(folder.PathOf(listed.name)) {
        if (!(listed.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            m_file = UTIL::OpenFileNoFollow(m_path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                            kShareAll);
            if (!m_file) {
                if (traced) {
                    DebugTraceW('W', TRACE_SRC_W,
                                L"%s - Dump file[%s] cannot be opened: [%d], left alone.", kPurge,
                                m_path.c_str(), static_cast<int>(::GetLastError()));
                }
                return;
            }
            m_counted = UTIL::IsSinglePlainFileWithFinalPath(
                m_file.get(), folder.FinalPathOf(listed.name), &m_info);
        }
        if (!m_counted && traced) {
            DebugTraceW('W', TRACE_SRC_W, L"%s - Dump file[%s] is not a plain file, left alone.",
                        kPurge, m_path.c_str());
        }
    }

    bool Counted() const { return m_counted; }
    const std::wstring& Path() const { return m_path; }
    const BY_HANDLE_FILE_INFORMATION& Info() const { return m_info; }

    // Whole seconds since the file was last written.
    LONGLONG AgeSeconds() const {
        FILETIME now = {};
        ::GetSystemTimeAsFileTime(&now);
        return ToSeconds(now) - ToSeconds(m_info.ftLastWriteTime);
    }

    void Delete() {
        const bool deleted = UTIL::DeleteThroughHandle(m_file.get());
        const DWORD error = ::GetLastError();
        m_file.reset();  // the file goes with its last handle
        if (deleted) {
            DebugTraceW('D', TRACE_SRC_W, L"%s - Delete dump file[%s] successfully.", kPurge,
                        m_path.c_str());
        } else {
            DebugTraceW('D', TRACE_SRC_W, L"%s - Delete dump file[%s] failed: [%d].", kPurge,
                        m_path.c_str(), static_cast<int>(error));
        }
    }

private:
    std::wstring m_path;
    UTIL::unique_handle m_file;
    BY_HANDLE_FILE_INFORMATION m_info = {};
    bool m_counted = false;
};

struct Retention {
    int maximumFiles;
    LONGLONG maxAgeSeconds;
};

Retention ReadRetention() {
    const int maximumFiles = EH::ReadDumpSetting(L"DumpMaximumFiles", 4);
    const int maxKeepDays = EH::ReadDumpSetting(L"DumpMaxKeepDay", 60);
    DebugTraceW('D', TRACE_SRC_W,
                L"%s - [Exception Helper] nMaximumFiles = [%d], nMaxKeepDays = [%d]", kPurge,
                maximumFiles, maxKeepDays);
    return {maximumFiles, static_cast<LONGLONG>(maxKeepDays) * 86400};
}

// Purges one folder's listing (oldest name first) as the retention rule says:
// of the dumps that count, all but the newest "DumpMaximumFiles" go (oldest
// first), then those of the kept ones that are too old. The newest are judged
// first, newest first, each opened and closed again, until the kept ones are
// known; every older candidate is then opened once more and deleted through
// that handle if it counts. False when the deadline stopped it.
bool PurgeListed(const CPurgedFolder& folder, const std::vector<ListedDump>& listed,
                 const CPurgeDeadline& deadline) {
    const Retention retention = ReadRetention();
    size_t oldestKept = 0;  // candidates below it are surplus
    std::vector<size_t> keptButOld;
    if (retention.maximumFiles <= 0) {
        oldestKept = listed.size();
    } else {
        int kept = 0;
        for (size_t index = listed.size(); index-- > 0 && kept < retention.maximumFiles;) {
            if (deadline.Passed()) return false;
            const CDumpCandidate candidate(folder, listed[index], true);
            if (!candidate.Counted()) continue;
            ++kept;
            if (kept == retention.maximumFiles) oldestKept = index;
            if (candidate.AgeSeconds() >= retention.maxAgeSeconds) keptButOld.push_back(index);
        }
    }
    for (size_t index = 0; index < oldestKept; ++index) {
        if (deadline.Passed()) return false;
        CDumpCandidate candidate(folder, listed[index], true);
        if (candidate.Counted()) candidate.Delete();
    }
    for (auto kept = keptButOld.rbegin(); kept != keptButOld.rend(); ++kept) {
        if (deadline.Passed()) return false;
        CDumpCandidate candidate(folder, listed[*kept], true);
        if (candidate.Counted() && candidate.AgeSeconds() >= retention.maxAgeSeconds)
            candidate.Delete();
    }
    return true;
}

void TraceFound(const std::wstring& path) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - Found dump file: [%s]", L"GetDumpFileName", path.c_str());
}

// One folder's listing with its "Found" lines, while the deadline leaves
// time for them; the entries past it are counted in one line instead.
void TraceListing(const CPurgedFolder& folder, const std::vector<ListedDump>& listed,
                  const CPurgeDeadline& deadline) {
    size_t untraced = 0;
    for (const ListedDump& dump : listed) {
        if (untraced == 0 && deadline.ListingTimeLeft())
            TraceFound(folder.PathOf(dump.name));
        else
            ++untraced;
    }
    if (untraced > 0) {
        DebugTraceW('W', TRACE_SRC_W, L"%s - %d more dump file(s) in [%s], not traced.",
                    L"GetDumpFileName", static_cast<int>(untraced),
                    folder.Folder().folder.c_str());
    }
}

void AppendBackslash(std::wstring* folder) {
    if (!folder->empty() && folder->back() != L'\\') folder->push_back(L'\\');
}

std::wstring FolderOf(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

}  // namespace

bool EH::LongNameMatches(const wchar_t* name, const wchar_t* pattern) {
    // Greedy match with one back-track point: the last '*' seen.
    const wchar_t* starPattern = nullptr;
    const wchar_t* starName = nullptr;
    while (*name != L'\0') {
        if (*pattern == L'*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern != L'\0' &&
                   (*pattern == L'?' ||
                    ::CompareStringOrdinal(name, 1, pattern, 1, TRUE) == CSTR_EQUAL)) {
            ++name;
            ++pattern;
        } else if (starPattern != nullptr) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == L'*') ++pattern;
    return *pattern == L'\0';
}

void EH::SetDumpListingCalls(const DumpListingCalls* calls) {
    g_listing = calls != nullptr ? calls : &kPlatformListing;
}

void EH::SetPurgeClock(PurgeClock clock) {
    g_purgeClock = clock != nullptr ? clock : ::GetTickCount64;
}

void GetDumpFileName(const wchar_t* folder, const wchar_t* pattern, DumpFileSet* dumpSet) {
    for (const ListedDump& dump : ListMatches(folder, pattern)) {
        const std::wstring path = std::wstring(folder) + dump.name;
        TraceFound(path);
        dumpSet->insert(path);
    }
}

// The set's folders are taken as their callers chose them (each is its own
// trusted root); CleanupDumpFolders judges its folders against the
// installation's instead.
void PurgeDumpFile(DumpFileSet* dumpSet) {
    std::map<std::wstring, std::vector<ListedDump>> byFolder;
    for (const std::wstring& path : *dumpSet) {
        const std::wstring folder = FolderOf(path);
        byFolder[folder].push_back({path.substr(folder.size()), 0});
    }
    const CPurgeDeadline deadline(EH::kPurgeBudgetMs);
    for (const auto& [folderPath, listed] : byFolder) {
        const CPurgedFolder folder({folderPath, L"*", folderPath});
        if (folder.State() == UTIL::FolderState::Plain) PurgeListed(folder, listed, deadline);
    }
    dumpSet->clear();
}

EH::DumpFolderSurvey EH::SurveyDumpFolder(const DumpFolder& dumps) {
    const CPurgedFolder folder(dumps);
    DumpFolderSurvey survey;
    survey.state = folder.State();
    if (survey.state != UTIL::FolderState::Plain) return survey;
    for (const ListedDump& listed : ListMatches(dumps.folder, dumps.pattern)) {
        const CDumpCandidate candidate(folder, listed, false);
        if (!candidate.Counted()) {
            ++survey.leftAlone;
            continue;
        }
        const BY_HANDLE_FILE_INFORMATION& info = candidate.Info();
        survey.counted.push_back(
            {candidate.Path(), (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
             info.ftLastWriteTime});
    }
    return survey;
}

std::vector<EH::DumpFolder> EH::PurgedDumpFolders(const std::wstring& workingFolder) {
    // "..\BM\LOG\" lies beside the working folder: its root is the working
    // folder's parent as Windows resolves "..", by the name.
    return {{workingFolder, kDatedDumpPattern, workingFolder},
            {workingFolder + L"HBRF\\", kDatedDumpPattern, workingFolder},
            {workingFolder + L"..\\BM\\LOG\\", L"*.dmp", workingFolder + L"..\\"}};
}

void CleanupDumpFolders() {
    wchar_t working[kEhPathChars] = {};
    GetExceptionHelpWorkingPath(working, kEhPathChars, EH_PATH_WORKING_DIR);
    const std::wstring workingFolder = working;

    wchar_t windowsFolder[kEhPathChars] = {};
    ::GetWindowsDirectoryW(windowsFolder, kEhPathChars);
    std::wstring windowsDumpFolder = windowsFolder;
    AppendBackslash(&windowsDumpFolder);

    const CPurgeDeadline deadline(EH::kPurgeBudgetMs);
    // A folder is listed only when it is a plain folder below its root: a
    // junction or symlink in its place would make the purge delete files
    // elsewhere. A missing folder is the usual case and says nothing.
    // Without a working folder the patterns would search the current folder.
    std::vector<std::pair<CPurgedFolder, std::vector<ListedDump>>> purged;
    if (!workingFolder.empty()) {
        for (const EH::DumpFolder& dumps : EH::PurgedDumpFolders(workingFolder)) {
            CPurgedFolder folder(dumps);
            const UTIL::FolderState state = folder.State();
            if (state == UTIL::FolderState::Plain) {
                std::vector<ListedDump> listed = ListMatches(dumps.folder, dumps.pattern);
                TraceListing(folder, listed, deadline);
                purged.emplace_back(std::move(folder), std::move(listed));
            } else if (state != UTIL::FolderState::Missing) {
                DebugTraceW('W', TRACE_SRC_W, L"%s - Dump folder[%s] is %s, not purged.",
                            L"CleanupDumpFolders", dumps.folder.c_str(),
                            UTIL::FolderStateName(state));
            }
        }
    }
    DumpFileSet windowsDumps;
    // The system's own crash file is only listed, never deleted.
    GetDumpFileName(windowsDumpFolder.c_str(), L"qpacrash.dmp", &windowsDumps);

    for (const auto& [folder, listed] : purged) {
        if (!PurgeListed(folder, listed, deadline)) {
            DebugTraceW('W', TRACE_SRC_W,
                        L"%s - Purge stopped after %d ms: the rest is left for the next purge.",
                        L"CleanupDumpFolders", static_cast<int>(deadline.ElapsedMs()));
            return;
        }
    }
}
