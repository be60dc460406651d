// Prints the time of one cached CProfileCache::GetIntW / GetStringW next to a
// direct GetPrivateProfileIntW / GetPrivateProfileStringW of the same key.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchReport.h"
#include "ProfileCache.h"

namespace {

using Clock = std::chrono::steady_clock;

std::wstring WriteIniFile() {
    wchar_t folder[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + L"zel_bench_profile.ini";
    ::WritePrivateProfileStringW(L"Sample_Submission", L"SampleFolderCleanupHour", L"7",
                                 path.c_str());
    ::WritePrivateProfileStringW(L"ZOLM", L"Name", L"bench value", path.c_str());
    return path;
}

// Median over rounds of the mean ns per call of `call`.
template <typename Call>
double NsPerCall(int calls, Call call) {
    std::vector<double> rounds;
    for (int round = 0; round < 5; ++round) {
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i) call();
        rounds.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                         calls);
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 2];
}

}  // namespace

int main() {
    const std::wstring path = WriteIniFile();
    CProfileCache cache;
    if (!cache.OpenW(path.c_str(), 30)) {
        std::printf("cannot open %ls\n", path.c_str());
        return 1;
    }
    volatile unsigned int sink = 0;
    const double cachedInt = NsPerCall(200000, [&] {
        sink = cache.GetIntW(L"Sample_Submission", L"SampleFolderCleanupHour", 1, 0);
    });
    const double directInt = NsPerCall(2000, [&] {
        sink = ::GetPrivateProfileIntW(L"Sample_Submission", L"SampleFolderCleanupHour", 1,
                                       path.c_str());
    });
    wchar_t text[64];
    const double cachedString = NsPerCall(200000, [&] {
        sink = cache.GetStringW(text, L"ZOLM", L"Name", L"", 64, 0);
    });
    const double directString = NsPerCall(2000, [&] {
        sink = ::GetPrivateProfileStringW(L"ZOLM", L"Name", L"", text, 64, path.c_str());
    });
    ::DeleteFileW(path.c_str());

    std::printf("cached GetIntW:            %.0f ns per read\n", cachedInt);
    std::printf("GetPrivateProfileIntW:     %.0f ns per read (%.0fx the cached read)\n",
                directInt, directInt / cachedInt);
    std::printf("cached GetStringW:         %.0f ns per read\n", cachedString);
    std::printf("GetPrivateProfileStringW:  %.0f ns per read (%.0fx the cached read)\n",
                directString, directString / cachedString);
    BENCH::ReportFigure("profile cache: cached int read", cachedInt, "ns",
                        "GetPrivateProfileIntW", directInt, BENCH::Better::Lower, ">= 50x");
    BENCH::ReportFigure("profile cache: cached string read", cachedString, "ns",
                        "GetPrivateProfileStringW", directString, BENCH::Better::Lower, ">= 50x");
    return 0;
}
