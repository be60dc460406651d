// The dump purge (CleanupDumpFolders) of a folder holding 10, 1,000 and
// 10,000 dump-named files, next to a bare listing of the same folder in the
// same run, and next to the floor of any purge: a bare listing followed by a
// DeleteFileW of every name but the newest four, which checks nothing. The
// purge keeps four; the listing reads every name once. The
// level gate drops the purge's trace lines (errors only): what is measured is
// the purge's own work, not the log server's. The purge's clock stands
// still for the timed runs, so that each is a whole purge; one more run at
// 10,000 files with the real clock shows the 2 s budget at work.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchReport.h"
#include "UniqueHandle.h"
#include "eh_exceptionhelper.h"

namespace {

using Clock = std::chrono::steady_clock;

std::wstring RecorderFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\') + 1) + L"HBRF\\";
}

std::wstring DumpName(int index) {
    wchar_t name[32] = {};
    _snwprintf(name, 31, L"%08d-120000.dmp", 20000000 + index);
    return name;
}

bool CreateDumps(const std::wstring& folder, int count) {
    for (int index = 0; index < count; ++index) {
        UTIL::unique_handle file(::CreateFileW((folder + DumpName(index)).c_str(), GENERIC_WRITE, 0,
                                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                               nullptr));
        if (!file) return false;
    }
    return true;
}

int CountDumps(const std::wstring& folder) {
    int count = 0;
    WIN32_FIND_DATAW found = {};
    UTIL::unique_find_handle finder(::FindFirstFileW((folder + L"*.dmp").c_str(), &found));
    if (!finder) return 0;
    do {
        ++count;
    } while (::FindNextFileW(finder.get(), &found));
    return count;
}

double ListingMs(const std::wstring& folder) {
    const auto start = Clock::now();
    const int listed = CountDumps(folder);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return listed > 0 ? ms : -1;
}

// The dump names in the folder, oldest first.
std::vector<std::wstring> DumpNames(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    UTIL::unique_find_handle finder(::FindFirstFileW((folder + L"*.dmp").c_str(), &found));
    if (!finder) return names;
    do {
        names.push_back(found.cFileName);
    } while (::FindNextFileW(finder.get(), &found));
    std::sort(names.begin(), names.end());
    return names;
}

// The floor: list, then delete every name but the newest four by name, with
// no check at all. -1 when it did not leave four.
double BareDeletionMs(const std::wstring& folder) {
    const auto start = Clock::now();
    const std::vector<std::wstring> names = DumpNames(folder);
    for (size_t index = 0; index + 4 < names.size(); ++index)
        ::DeleteFileW((folder + names[index]).c_str());
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return CountDumps(folder) == 4 ? ms : -1;
}

// Only 'E' and 'F' pass while the benchmark runs.
class CErrorsOnlyGate {
public:
    CErrorsOnlyGate()
        : m_section(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4,
                                         L"Global\\log_level_map_file")),
          m_word(m_section ? static_cast<volatile LONG*>(
                                 ::MapViewOfFile(m_section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 4))
                           : nullptr) {
        if (m_word != nullptr) *m_word = 0x00010004;
    }
    ~CErrorsOnlyGate() {
        if (m_word != nullptr) {
            *m_word = 0;
            ::UnmapViewOfFile(const_cast<LONG*>(m_word));
        }
    }
    bool Set() const { return m_word != nullptr; }

private:
    UTIL::unique_handle m_section;
    volatile LONG* m_word;
};

ULONGLONG WINAPI StandingClock() {
    return 0;
}

void RemoveDumps(const std::wstring& folder) {
    for (const std::wstring& name : DumpNames(folder)) ::DeleteFileW((folder + name).c_str());
}

// With the real clock: how many dumps each purge in a row leaves.
void ShowBudget(const std::wstring& folder) {
    EH::SetPurgeClock(nullptr);
    if (!CreateDumps(folder, 10000)) return;
    for (int purge = 1; purge <= 3; ++purge) {
        const auto start = Clock::now();
        CleanupDumpFolders();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::printf("budgeted purge %d of 10000 files: %.0f ms, %d left\n", purge, ms,
                    CountDumps(folder));
    }
    RemoveDumps(folder);
}

}  // namespace

int main() {
    const CErrorsOnlyGate gate;
    const std::wstring folder = RecorderFolder();
    ::CreateDirectoryW(folder.c_str(), nullptr);
    if (!gate.Set() || CountDumps(folder) != 0) {
        std::printf("cannot set the level gate, or %ls is not empty\n", folder.c_str());
        return 1;
    }
    std::printf("%-8s %12s %12s %8s %6s %14s %8s\n", "files", "listing ms", "purge ms", "ratio",
                "kept", "bare delete ms", "ratio");
    EH::SetPurgeClock(StandingClock);
    int failures = 0;
    for (const int files : {10, 1000, 10000}) {
        if (!CreateDumps(folder, files)) {
            std::printf("cannot create %d dumps\n", files);
            return 1;
        }
        // The listing alternates with nothing else: the median of three.
        double listings[3] = {ListingMs(folder), ListingMs(folder), ListingMs(folder)};
        std::sort(listings, listings + 3);
        const double listing = listings[1];
        const auto start = Clock::now();
        CleanupDumpFolders();
        const double purge =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        const int kept = CountDumps(folder);
        RemoveDumps(folder);
        if (!CreateDumps(folder, files)) {
            std::printf("cannot create %d dumps\n", files);
            return 1;
        }
        const double bare = BareDeletionMs(folder);
        std::printf("%-8d %12.2f %12.2f %8.1f %6d %14.2f %8.1f\n", files, listing, purge,
                    purge / listing, kept, bare, purge / bare);
        if (kept != 4 || bare < 0) ++failures;
        const std::string name = "purge: " + std::to_string(files) + " dump files";
        BENCH::ReportFigure(name.c_str(), purge, "ms", "bare listing of the folder", listing,
                            BENCH::Better::Lower, "< 20x");
        BENCH::ReportFigure(name.c_str(), purge, "ms", "bare listing and DeleteFileW", bare,
                            BENCH::Better::Lower, "none");
        RemoveDumps(folder);
    }
    ShowBudget(folder);
    ::RemoveDirectoryW(folder.c_str());
    return failures == 0 ? 0 : 2;
}
