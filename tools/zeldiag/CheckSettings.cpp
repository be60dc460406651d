#include "CheckSettings.h"

#include <cwctype>

#include "ProfileCache.h"
#include "UniqueHandle.h"
#include "zel_ScheduleTask.h"
#include "zel_StvFcgi.h"
#include "zel_StvZelSvr.h"

namespace {

constexpr wchar_t kModuleIni[] = L"Private\\stvZelSvr.ini";
constexpr wchar_t kUninstIni[] = L"StUninst.ini";
constexpr wchar_t kCleanupSection[] = L"Sample_Submission";
constexpr int kMaxHour = 8760;  // a year: anything longer is a typing error
constexpr int kMaxMinute = 59;
constexpr int kMaxServerType = 4;

// One integer setting: the text in the file and the value the service's
// own read gives for it.
struct IntSetting {
    const wchar_t* key;
    bool present = false;
    std::wstring text;
    int value = 0;
};

std::wstring RawText(const std::wstring& file, const wchar_t* section, const wchar_t* key,
                     bool& present) {
    wchar_t text[256] = {};
    // A default no file holds tells a missing key from an empty one.
    GetPrivateProfileStringW(section, key, L"\x01", text, 256, file.c_str());
    present = !(text[0] == 1 && text[1] == 0);
    return present ? text : L"";
}

// True when the text is a plain decimal number: what the read returns for
// anything else is not what the file seems to say.
bool IsPlainNumber(const std::wstring& text) {
    size_t start = text.empty() || (text[0] != L'-' && text[0] != L'+') ? 0 : 1;
    if (start >= text.size()) return false;
    for (size_t i = start; i < text.size(); ++i)
        if (!iswdigit(text[i])) return false;
    return text.size() - start < 10;
}

IntSetting ReadModuleSetting(CProfileCache& profile, const std::wstring& file, const wchar_t* key,
                             int defaultValue) {
    IntSetting setting;
    setting.key = key;
    setting.text = RawText(file, kCleanupSection, key, setting.present);
    // The module profile's own read, as the cleanup task makes it.
    setting.value = static_cast<int>(profile.GetIntW(kCleanupSection, key, defaultValue, 0));
    return setting;
}

// Empty when the setting is read as written and lies in its range.
std::wstring Misread(const IntSetting& setting, int maximum) {
    const std::wstring written = std::wstring(setting.key) + L"=\"" + setting.text + L"\"";
    const std::wstring used = std::to_wstring(setting.value);
    if (setting.present && !IsPlainNumber(setting.text))
        return written + L" is not a number: the service uses " + used;
    if (setting.value < 0)
        return written + L" is negative: the service uses " + used +
               L", so the cleanup is due in every pass (about once a minute)";
    if (setting.value > maximum)
        return written + L" is above " + std::to_wstring(maximum) + L": the service uses " + used;
    return L"";
}

std::wstring LocalMinute(__time64_t t) {
    tm calendar{};
    if (_localtime64_s(&calendar, &t) != 0) return L"(unknown)";
    wchar_t text[32] = {};
    _snwprintf(text, 31, L"%04d-%02d-%02d %02d:%02d", calendar.tm_year + 1900, calendar.tm_mon + 1,
               calendar.tm_mday, calendar.tm_hour, calendar.tm_min);
    return text;
}

// When the next cleanup is due: the schedule's own due time, counted from
// the service's start, one interval after the other until it lies ahead.
std::wstring NextDue(const CleanupInterval& interval, __time64_t serviceStart, __time64_t now) {
    const __time64_t seconds = static_cast<__time64_t>(interval.hour) * 3600 +
                               static_cast<__time64_t>(interval.minute) * 60;
    if (seconds <= 0) return L"due in every pass (about once a minute)";
    if (serviceStart == 0) return L"the first is due one interval after the service starts";
    if (serviceStart == kStartUnknown)
        return L"next due unknown: the service's start time cannot be read (needs "
               L"administrator rights)";
    __time64_t due = IntervalDueTime(serviceStart, now, seconds);
    // Each run begins the next interval; the tool cannot see the runs, so it
    // counts whole intervals (a run may start up to a pass, a minute, late).
    while (due <= now) due += seconds;
    return L"next due about " + LocalMinute(due) + L" (counted from the service's start at " +
           LocalMinute(serviceStart) + L")";
}

CheckLine CheckModuleIni(const Installation& installation, __time64_t serviceStart,
                         __time64_t now) {
    const std::wstring name = std::wstring(L"settings ") + kModuleIni;
    const std::wstring file = installation.product + kModuleIni;
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES)
        return Warn(name, L"missing: the service takes the defaults, cleanup every 1 h 0 min",
                    L"restore Private\\stvZelSvr.ini from the product's installation");
    CProfileCache profile;
    profile.OpenW(file.c_str(), 0);
    const IntSetting hour = ReadModuleSetting(profile, file, L"SampleFolderCleanupHour", 1);
    const IntSetting minute = ReadModuleSetting(profile, file, L"SampleFolderCleanupMinute", 0);
    const CleanupInterval interval = MakeCleanupInterval(hour.value, minute.value);
    const std::wstring schedule = L"cleanup every " + std::to_wstring(interval.hour) + L" h " +
                                  std::to_wstring(interval.minute) + L" min, " +
                                  NextDue(interval, serviceStart, now);
    const std::wstring problems = JoinParts({Misread(hour, kMaxHour), Misread(minute, kMaxMinute)});
    if (problems.empty()) return Ok(name, schedule);
    return Warn(name, problems + L"; " + schedule,
                L"set SampleFolderCleanupHour to 0.." + std::to_wstring(kMaxHour) +
                    L" and SampleFolderCleanupMinute to 0.." + std::to_wstring(kMaxMinute) +
                    L" in [Sample_Submission], then restart the service");
}

CheckLine CheckUninstIni(const Installation& installation) {
    const std::wstring name = std::wstring(L"settings ") + kUninstIni;
    const std::wstring file = installation.product + kUninstIni;
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES)
        return Warn(name, L"missing: the service takes IIS (ServerType 0)",
                    L"restore StUninst.ini from the product's installation");
    IntSetting kind;
    kind.key = L"ServerType";
    kind.text = RawText(file, L"WEB_SERVER", kind.key, kind.present);
    // Read as the entry point reads it: directly, not cached.
    kind.value = static_cast<int>(GetPrivateProfileIntW(L"WEB_SERVER", kind.key, 0, file.c_str()));
    const std::wstring found = std::wstring(IsApache(kind.value) ? L"Apache" : L"IIS") +
                               L" (ServerType " + std::to_wstring(kind.value) + L")";
    const std::wstring problem = Misread(kind, kMaxServerType);
    if (problem.empty()) return Ok(name, L"web server " + found);
    return Warn(name, problem + L"; web server " + found,
                L"set [WEB_SERVER] ServerType to 2 or 3 (Apache) or 0, 1, 4 (IIS)");
}

}  // namespace

__time64_t ServiceStartTime(const ServiceRegistration& registration) {
    if (registration.lookup != RegistrationLookup::Found ||
        registration.status.dwCurrentState != SERVICE_RUNNING)
        return 0;
    UTIL::unique_handle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, registration.status.dwProcessId));
    FILETIME created = {}, exited = {}, kernel = {}, user = {};
    if (!process || !GetProcessTimes(process.get(), &created, &exited, &kernel, &user))
        return kStartUnknown;
    ULARGE_INTEGER ticks;
    ticks.LowPart = created.dwLowDateTime;
    ticks.HighPart = created.dwHighDateTime;
    constexpr unsigned long long kTicksPerSecond = 10000000ULL;
    constexpr unsigned long long kEpochSeconds = 11644473600ULL;  // 1601 to 1970
    return static_cast<__time64_t>(ticks.QuadPart / kTicksPerSecond - kEpochSeconds);
}

std::vector<CheckLine> CheckSettings(const Installation& installation, __time64_t serviceStart,
                                     __time64_t now) {
    return {CheckModuleIni(installation, serviceStart, now), CheckUninstIni(installation)};
}
