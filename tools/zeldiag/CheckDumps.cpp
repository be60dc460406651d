#include "CheckDumps.h"

#include "PathLinks.h"
#include "eh_exceptionhelper.h"
#include "eh_settings.h"

namespace {

struct Retention {
    int maximumFiles;
    int maxKeepDays;
};

__time64_t UnixTime(const FILETIME& time) {
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    return static_cast<__time64_t>(ticks.QuadPart / 10000000ULL) - 11644473600LL;
}

std::wstring LocalTime(__time64_t t) {
    tm calendar{};
    if (_localtime64_s(&calendar, &t) != 0) return L"(unknown)";
    wchar_t text[32] = {};
    _snwprintf(text, 31, L"%04d-%02d-%02d %02d:%02d:%02d", calendar.tm_year + 1900,
               calendar.tm_mon + 1, calendar.tm_mday, calendar.tm_hour, calendar.tm_min,
               calendar.tm_sec);
    return text;
}

// The dumps the purge counts, judged by the purge's own rules (links and
// entries it cannot open are left out, as the purge leaves them alone).
std::vector<DumpFile> CountedDumps(const EH::DumpFolderSurvey& survey) {
    std::vector<DumpFile> dumps;
    for (const EH::CountedDump& counted : survey.counted) {
        DumpFile dump;
        dump.path = counted.path;
        dump.bytes = counted.bytes;
        dump.lastWrite = UnixTime(counted.lastWrite);
        dumps.push_back(dump);
    }
    return dumps;
}

std::wstring Megabytes(unsigned long long bytes) {
    return std::to_wstring((bytes + (1ULL << 19)) >> 20) + L" MB";
}

CheckLine LineOf(const std::wstring& name, const std::vector<DumpFile>& dumps,
                 const Retention& retention, __time64_t now) {
    const std::wstring kept = L"DumpMaximumFiles " + std::to_wstring(retention.maximumFiles) +
                              L", DumpMaxKeepDay " + std::to_wstring(retention.maxKeepDays);
    if (dumps.empty()) return Ok(name, L"no dumps (" + kept + L")");
    unsigned long long total = 0;
    size_t tooOld = 0;
    __time64_t newest = dumps.front().lastWrite;
    __time64_t oldest = newest;
    const long long maxAgeSeconds = static_cast<long long>(retention.maxKeepDays) * 86400;
    for (const DumpFile& dump : dumps) {
        total += dump.bytes;
        if (dump.lastWrite > newest) newest = dump.lastWrite;
        if (dump.lastWrite < oldest) oldest = dump.lastWrite;
        if (now - dump.lastWrite >= maxAgeSeconds) ++tooOld;
    }
    const long long surplus =
        static_cast<long long>(dumps.size()) - static_cast<long long>(retention.maximumFiles);
    std::wstring found = std::to_wstring(dumps.size()) + L" dump(s), " + Megabytes(total) +
                         L", newest " + LocalTime(newest) + L", oldest " + LocalTime(oldest) +
                         L" (" + kept + L")";
    if (surplus <= 0 && tooOld == 0) return Ok(name, found);
    if (surplus > 0)
        found += L"; " + std::to_wstring(surplus) + L" more than DumpMaximumFiles keeps";
    if (tooOld > 0) found += L"; " + std::to_wstring(tooOld) + L" older than DumpMaxKeepDay";
    return Warn(name, found,
                L"the service purges them at its next start; look at why it crashed (the "
                L"dumps) before restarting it");
}

// "Bin\x64\HBRF\" for a folder below the product folder.
std::wstring RelativeName(const Installation& installation, const std::wstring& folder) {
    std::wstring name = folder;
    const std::wstring up = L"x64\\..\\";
    const size_t parent = name.find(up);
    if (parent != std::wstring::npos) name.erase(parent, up.size());
    if (_wcsnicmp(name.c_str(), installation.product.c_str(), installation.product.size()) == 0)
        name.erase(0, installation.product.size());
    return name;
}

}  // namespace

DumpChecks CheckDumps(const Installation& installation, __time64_t now) {
    // The helper's own readers and folder list, with the service's folder as
    // the working folder it would have.
    const Retention retention = {EH::ReadDumpSetting(L"DumpMaximumFiles", 4),
                                 EH::ReadDumpSetting(L"DumpMaxKeepDay", 60)};
    DumpChecks checks;
    for (const EH::DumpFolder& folder : EH::PurgedDumpFolders(installation.Binaries())) {
        const std::wstring name = L"dumps " + RelativeName(installation, folder.folder);
        // The purge's own judgement: a folder that is not a plain one below
        // its installation folder is skipped.
        const EH::DumpFolderSurvey survey = EH::SurveyDumpFolder(folder);
        const UTIL::FolderState state = survey.state;
        if (state != UTIL::FolderState::Plain && state != UTIL::FolderState::Missing) {
            checks.lines.push_back(Fail(
                name, std::wstring(L"not a plain folder (") + UTIL::FolderStateName(state) +
                          L"): the service does not purge it",
                L"make it a plain folder: a link there could have the service delete files "
                L"elsewhere, so it refuses to purge through it"));
            continue;
        }
        const std::vector<DumpFile> dumps = CountedDumps(survey);
        checks.lines.push_back(LineOf(name, dumps, retention, now));
        checks.dumps.insert(checks.dumps.end(), dumps.begin(), dumps.end());
    }
    return checks;
}

std::wstring FormatDumpList(const std::vector<DumpFile>& dumps) {
    std::wstring text;
    for (const DumpFile& dump : dumps)
        text += dump.path + L"\t" + std::to_wstring(dump.bytes) + L" bytes\t" +
                LocalTime(dump.lastWrite) + L"\n";
    if (text.empty()) text = L"(no dumps)\n";
    return text;
}
