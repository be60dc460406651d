// Prints the time of one CStvDigitalSignatureManagerEx::VerifyDigitalSignature
// (flags "Karvelo, Inc.", no strong hash) on a small signed library, on a
// 20 MB signed library and on an unsigned library: the first call of the
// process and the median of the next ones; and the time of the digest check
// that binds a signature to the file (what the certificate-information and
// trusted-key fallbacks add). Each figure stands next to its floor: one
// SHA-256 pass of the file with CryptoAPI. No log server is needed; each
// trace line then costs one failed pipe connection, as in the product.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchReport.h"
#include "CryptHandles.h"
#include "HeldFile.h"
#include "ImageDigest.h"
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

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

template <typename Work>
double MedianMs(Work work) {
    std::vector<double> times;
    for (int i = 0; i < kRepeats; ++i) {
        const Clock::time_point start = Clock::now();
        work();
        times.push_back(MillisecondsSince(start));
    }
    std::sort(times.begin(), times.end());
    return times[kRepeats / 2];
}

// The floor of a check that binds a signature to the file: the file read
// once (it is in the cache) and hashed once with SHA-256 by CryptoAPI.
void HashOnce(const std::wstring& file) {
    UTIL::unique_handle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    UTIL::unique_crypt_prov provider;
    UTIL::unique_crypt_hash hash;
    if (!handle ||
        !::CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES,
                                CRYPT_VERIFYCONTEXT) ||
        !::CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.put())) {
        std::printf("cannot hash %ls\n", file.c_str());
        return;
    }
    std::vector<BYTE> piece(1 << 16);
    DWORD got = 0;
    while (::ReadFile(handle.get(), piece.data(), static_cast<DWORD>(piece.size()), &got,
                      nullptr) &&
           got != 0) {
        ::CryptHashData(hash.get(), piece.data(), got, 0);
    }
}

// The digest check of the file's own primary signature, with a fresh digest
// object each time (one per verification, as in the product).
DS::DigestBinding CheckPrimaryDigest(const std::wstring& file) {
    UTIL::unique_crypt_msg message;
    UTIL::unique_cert_store store;
    ::CryptQueryObject(CERT_QUERY_OBJECT_FILE, file.c_str(),
                       CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                       0, nullptr, nullptr, nullptr, store.put(), message.put(), nullptr);
    DS::CFileImageDigest digest(file.c_str());
    return digest.CheckSignature(message.get());
}

// The same check as the loader makes it: the signed data and the digest
// read through the held file (a duplicate of the held handle each time).
DS::DigestBinding CheckPrimaryDigestOfHeldFile(const std::wstring& file) {
    UTIL::unique_crypt_msg message;
    UTIL::unique_cert_store store;
    DS::QueryEmbeddedSignature(file.c_str(), store.put(), message.put());
    DS::CFileImageDigest digest(file.c_str());
    return digest.CheckSignature(message.get());
}

void Measure(const char* label, const wchar_t* name) {
    const std::wstring file = BesideThisProgram(name);
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    ::GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &attributes);
    VerifyResult result;
    const double first = OneVerificationMs(file, result);
    const double median = MedianMs([&] { OneVerificationMs(file, result); });
    const double floor = MedianMs([&] { HashOnce(file); });
    std::printf("%-24s %9lu bytes  first %8.1f ms  median %8.1f ms  one SHA-256 pass %8.1f ms  "
                "(verdict %d, code 0x%08X)\n",
                label, attributes.nFileSizeLow, first, median, floor, result.bVerified ? 1 : 0,
                result.dwErrorCode);
    const std::string figure = std::string("signature: verify ") + label;
    BENCH::ReportFigure(figure.c_str(), median, "ms", "one SHA-256 pass of the file", floor,
                        BENCH::Better::Lower, "-");
}

// Aim: the digest check costs about one pass of the file through its digest
// algorithm (it reads the image once per algorithm).
void MeasureDigestCheck(const char* label, const wchar_t* name) {
    const std::wstring file = BesideThisProgram(name);
    DS::DigestBinding binding = DS::DigestBinding::FileUnreadable;
    const double median = MedianMs([&] { binding = CheckPrimaryDigest(file); });
    const double floor = MedianMs([&] { HashOnce(file); });
    std::printf("%-24s digest check %8.1f ms  one SHA-256 pass %8.1f ms  (%ls)\n", label, median,
                floor, DS::DigestBindingText(binding));
    const std::string figure = std::string("signature: digest check ") + label;
    BENCH::ReportFigure(figure.c_str(), median, "ms", "one SHA-256 pass of the file", floor,
                        BENCH::Better::Lower, "<=1.2 pass");
}

// Before and after in one run: the digest check reading the path (as every
// check did before the held file, and as a path nobody holds still is
// read) and reading the held file; then a whole verification of a file the
// caller holds, as the issuer-checked loader makes it.
void MeasureHeldFile(const char* label, const wchar_t* name) {
    const std::wstring file = BesideThisProgram(name);
    const UTIL::unique_handle held(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                 nullptr));
    DS::DigestBinding byPath = DS::DigestBinding::FileUnreadable;
    DS::DigestBinding byHeld = DS::DigestBinding::FileUnreadable;
    VerifyResult result;
    const double pathMs = MedianMs([&] { byPath = CheckPrimaryDigest(file); });
    double heldMs = 0;
    double verifyMs = 0;
    {
        const DS::CHeldFileScope scope(file.c_str(), held.get());
        heldMs = MedianMs([&] { byHeld = CheckPrimaryDigestOfHeldFile(file); });
        verifyMs = MedianMs([&] { OneVerificationMs(file, result); });
    }
    const double floor = MedianMs([&] { HashOnce(file); });
    std::printf("%-24s digest check by path %8.1f ms  through the held file %8.1f ms  "
                "verification of the held file %8.1f ms  one SHA-256 pass %8.1f ms  (%ls / %ls, "
                "verdict %d)\n",
                label, pathMs, heldMs, verifyMs, floor, DS::DigestBindingText(byPath),
                DS::DigestBindingText(byHeld), result.bVerified ? 1 : 0);
    const std::string prefix = std::string("signature: ") + label;
    BENCH::ReportFigure((prefix + ", digest check by path (before)").c_str(), pathMs, "ms",
                        "one SHA-256 pass of the file", floor, BENCH::Better::Lower, "<=1.2 pass");
    BENCH::ReportFigure((prefix + ", digest check of the held file").c_str(), heldMs, "ms",
                        "one SHA-256 pass of the file", floor, BENCH::Better::Lower, "<=1.2 pass");
    BENCH::ReportFigure((prefix + ", verification of the held file").c_str(), verifyMs, "ms",
                        "one SHA-256 pass of the file", floor, BENCH::Better::Lower, "-");
}

}  // namespace

int main() {
    Measure("small signed library", L"sigbench_small_karvelo.dll");
    Measure("20 MB signed library", L"sigbench_large_karvelo.dll");
    Measure("unsigned library", L"sigbench_small.dll");
    MeasureDigestCheck("20 MB signed library", L"sigbench_large_karvelo.dll");
    MeasureHeldFile("20 MB signed library", L"sigbench_large_karvelo.dll");
    return 0;
}
