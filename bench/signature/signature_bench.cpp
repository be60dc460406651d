// Prints the time of one CStvDigitalSignatureManagerEx::VerifyDigitalSignature
// (flags "Karvelo, Inc.", no strong hash) on a small signed library, on a
// 20 MB signed library and on an unsigned library: the first call of the
// process and the median of the next ones. No log server is needed; each
// trace line then costs one failed pipe connection, as in the product.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchReport.h"
#include "UniqueHandle.h"
#include "ds_stvdsmanager.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRepeats = 9;

std::wstring BesideThisProgram(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH - 1);
    std::wstring folder = path;
    folder.resize(folder.rfind(L'\\') + 1);
    return folder + name;
}

double OneVerificationMs(const std::wstring& file, VerifyResult& result) {
    const Clock::time_point start = Clock::now();
    result = CStvDigitalSignatureManagerEx::VerifyDigitalSignature(file.c_str(),
                                                                   DS_VERIFY_KARVELO_SIGNER, false);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The floor of a verification: reading the file once (it is in the cache).
double ReadOnceMs(const std::wstring& file) {
    const Clock::time_point start = Clock::now();
    UTIL::unique_handle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::vector<char> piece(1 << 16);
    DWORD got = 0;
    while (handle && ::ReadFile(handle.get(), piece.data(), static_cast<DWORD>(piece.size()), &got,
                                nullptr) &&
           got != 0) {
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Measure(const char* label, const wchar_t* name) {
    const std::wstring file = BesideThisProgram(name);
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    ::GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &attributes);
    VerifyResult result;
    const double first = OneVerificationMs(file, result);
    std::vector<double> next;
    for (int i = 0; i < kRepeats; ++i) next.push_back(OneVerificationMs(file, result));
    std::sort(next.begin(), next.end());
    std::printf("%-24s %9lu bytes  first %8.1f ms  median %8.1f ms  (verdict %d, code 0x%08X)\n",
                label, attributes.nFileSizeLow, first, next[kRepeats / 2], result.bVerified ? 1 : 0,
                result.dwErrorCode);
    std::vector<double> reads;
    for (int i = 0; i < kRepeats; ++i) reads.push_back(ReadOnceMs(file));
    std::sort(reads.begin(), reads.end());
    const std::string figure = std::string("signature: verify ") + label;
    BENCH::ReportFigure(figure.c_str(), next[kRepeats / 2], "ms", "reading the file once",
                        reads[kRepeats / 2], BENCH::Better::Lower, "-");
}

}  // namespace

int main() {
    Measure("small signed library", L"sigbench_small_karvelo.dll");
    Measure("20 MB signed library", L"sigbench_large_karvelo.dll");
    Measure("unsigned library", L"sigbench_small.dll");
    return 0;
}
