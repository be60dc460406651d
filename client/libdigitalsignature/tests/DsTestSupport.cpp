#include "DsTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "DebugTrace.h"

namespace DSTEST {
namespace {

const Script* g_pScript = nullptr;
const wchar_t kFlushMarker[] = L"DSTEST - flush";
constexpr uintptr_t kFakeHandleBase = 0x5A5A0000;

BOOL WINAPI ScriptedAcquireContext2(HCATADMIN* phCatAdmin, const GUID*, PCWSTR algorithm,
                                    PCCERT_STRONG_SIGN_PARA, DWORD) {
    if (g_pScript != nullptr && g_pScript->acquireContext2) {
        return g_pScript->acquireContext2(phCatAdmin, algorithm);
    }
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL WINAPI ScriptedCalcHash2(HCATADMIN hCatAdmin, HANDLE hFile, DWORD* pcbHash, BYTE* pbHash,
                              DWORD) {
    if (g_pScript != nullptr && g_pScript->calcHash2) {
        return g_pScript->calcHash2(hCatAdmin, hFile, pcbHash, pbHash);
    }
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

FARPROC WINAPI ScriptedGetProcAddress(HMODULE module, LPCSTR name) {
    if (g_pScript != nullptr && g_pScript->multipleSignPlatform && HIWORD(name) != 0) {
        if (std::strcmp(name, "CryptCATAdminAcquireContext2") == 0) {
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ScriptedAcquireContext2));
        }
        if (std::strcmp(name, "CryptCATAdminCalcHashFromFileHandle2") == 0 &&
            !g_pScript->onlyAcquireContext2) {
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ScriptedCalcHash2));
        }
    }
    return DS::RealTrustPlatform().GetProcAddress(module, name);
}

LONG CloseRealState(HANDLE hState) {
    if (hState == nullptr) return 0;
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    data.hWVTStateData = hState;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return DS::RealTrustPlatform().WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action,
                                                  &data);
}

LONG WINAPI ScriptedWinVerifyTrust(HWND hwnd, GUID* action, LPVOID pData) {
    auto* record = static_cast<DS::WinTrustDataEx*>(pData);
    if (record->data.dwStateAction == WTD_STATEACTION_CLOSE) {
        const LONG status = CloseRealState(record->data.hWVTStateData);
        record->data.hWVTStateData = nullptr;
        return status;
    }
    if (g_pScript != nullptr && g_pScript->winVerifyTrust)
        return g_pScript->winVerifyTrust(*record);
    return DS::RealTrustPlatform().WinVerifyTrust(hwnd, action, pData);
}

HCATINFO WINAPI ScriptedEnumCatalog(HCATADMIN hCatAdmin, BYTE* pbHash, DWORD cbHash, DWORD flags,
                                    HCATINFO* prev) {
    if (g_pScript != nullptr && g_pScript->enumCatalogFromHash) {
        return g_pScript->enumCatalogFromHash(hCatAdmin, pbHash, cbHash);
    }
    return DS::RealTrustPlatform().CryptCATAdminEnumCatalogFromHash(hCatAdmin, pbHash, cbHash,
                                                                    flags, prev);
}

BOOL WINAPI ScriptedCatalogInfo(HCATINFO hCatInfo, CATALOG_INFO* info, DWORD flags) {
    if (g_pScript != nullptr && g_pScript->catalogInfoFromContext) {
        return g_pScript->catalogInfoFromContext(hCatInfo, info);
    }
    return DS::RealTrustPlatform().CryptCATCatalogInfoFromContext(hCatInfo, info, flags);
}

// Scripted catalog contexts are not the platform's: releasing them is a no-op.
BOOL WINAPI ScriptedReleaseCatalog(HCATADMIN hCatAdmin, HCATINFO hCatInfo, DWORD flags) {
    if (IsFakeHandle(hCatInfo)) return TRUE;
    return DS::RealTrustPlatform().CryptCATAdminReleaseCatalogContext(hCatAdmin, hCatInfo, flags);
}

BOOL WINAPI ScriptedReleaseContext(HCATADMIN hCatAdmin, DWORD flags) {
    if (IsFakeHandle(hCatAdmin)) return TRUE;
    return DS::RealTrustPlatform().CryptCATAdminReleaseContext(hCatAdmin, flags);
}

BOOL WINAPI ScriptedChainPolicy(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain,
                                PCERT_CHAIN_POLICY_PARA para, PCERT_CHAIN_POLICY_STATUS status) {
    if (g_pScript != nullptr && g_pScript->chainPolicy) {
        return g_pScript->chainPolicy(policy, chain, para, status);
    }
    return DS::RealTrustPlatform().CertVerifyCertificateChainPolicy(policy, chain, para, status);
}

}  // namespace

HANDLE FakeHandle(int n) {
    return reinterpret_cast<HANDLE>(kFakeHandleBase + n);
}

bool IsFakeHandle(const void* handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return value >= kFakeHandleBase && value < kFakeHandleBase + 0x1000;
}

std::wstring TestFile(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH - 1);
    std::wstring folder = path;
    folder.resize(folder.rfind(L'\\') + 1);
    return folder + name;
}

CTraceCapture::CTraceCapture() {
    m_started = m_listener.Start();
}

const std::vector<std::wstring>& CTraceCapture::Lines() {
    if (m_collected) return m_lines;
    DebugTraceW('D', L"DsTestSupport.cpp", 1, L"%s", kFlushMarker);
    EXPECT_TRUE(m_listener.WaitForLine(kFlushMarker));
    m_listener.Stop();
    for (const ZELTEST::LogRecord& record : m_listener.Records()) {
        const std::wstring& line = record.Line();
        const size_t headEnd = line.find(L"]", line.find(L"][") + 2);
        std::wstring text = headEnd == std::wstring::npos ? line : line.substr(headEnd + 1);
        if (text != kFlushMarker) m_lines.push_back(std::move(text));
    }
    m_collected = true;
    if (::GetEnvironmentVariableW(L"DSTEST_DUMP_TRACE", nullptr, 0) != 0) {
        for (const std::wstring& line : m_lines) wprintf(L"  trace: %ls\n", line.c_str());
    }
    return m_lines;
}

size_t CTraceCapture::Find(const std::wstring& part) {
    const std::vector<std::wstring>& lines = Lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(part) != std::wstring::npos) return i;
    }
    return std::wstring::npos;
}

bool CTraceCapture::Has(const std::wstring& part) {
    return Find(part) != std::wstring::npos;
}

size_t CTraceCapture::Count(const std::wstring& part) {
    size_t count = 0;
    for (const std::wstring& line : Lines()) {
        if (line.find(part) != std::wstring::npos) ++count;
    }
    return count;
}

CScriptedPlatform::CScriptedPlatform(const Script& script)
    : m_script(script), m_table(DS::RealTrustPlatform()) {
    m_table.GetProcAddress = &ScriptedGetProcAddress;
    m_table.WinVerifyTrust = &ScriptedWinVerifyTrust;
    m_table.CryptCATAdminEnumCatalogFromHash = &ScriptedEnumCatalog;
    m_table.CryptCATCatalogInfoFromContext = &ScriptedCatalogInfo;
    m_table.CryptCATAdminReleaseCatalogContext = &ScriptedReleaseCatalog;
    m_table.CryptCATAdminReleaseContext = &ScriptedReleaseContext;
    m_table.CertVerifyCertificateChainPolicy = &ScriptedChainPolicy;
    g_pScript = &m_script;
    m_pScope = new DS::CScopedTrustPlatform(m_table);
}

CScriptedPlatform::~CScriptedPlatform() {
    delete m_pScope;
    g_pScript = nullptr;
}

LONG VerifyRealFileInto(const std::wstring& file, DS::WinTrustDataEx& record) {
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = file.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = DS::RealTrustPlatform().WinVerifyTrust(
        static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    record.data.hWVTStateData = data.hWVTStateData;
    return status;
}

LONG VerifyAsOnWindows(DS::WinTrustDataEx& record) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = DS::RealTrustPlatform().WinVerifyTrust(
        static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &record);
    if ((record.data.dwProvFlags & WTD_HASH_ONLY_FLAG) == 0) return status;
    const bool chainError =
        status == CERT_E_EXPIRED || status == CERT_E_UNTRUSTEDROOT || status == CERT_E_CHAINING;
    return chainError ? 0 : status;
}

BOOL PolicyAsOnWindows(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain, PCERT_CHAIN_POLICY_PARA para,
                       PCERT_CHAIN_POLICY_STATUS status) {
    if (policy == CERT_CHAIN_POLICY_AUTHENTICODE_TS) {
        status->dwError = 0;
        return TRUE;
    }
    const BOOL called =
        DS::RealTrustPlatform().CertVerifyCertificateChainPolicy(policy, chain, para, status);
    if (called && policy == CERT_CHAIN_POLICY_AUTHENTICODE &&
        status->dwError == static_cast<DWORD>(CERT_E_EXPIRED) &&
        para->pvExtraPolicyPara != nullptr) {
        const auto* extra =
            static_cast<const AUTHENTICODE_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara);
        if ((extra->dwRegPolicySettings & WTPF_IGNOREEXPIRATION) != 0) status->dwError = 0;
    }
    return called;
}

}  // namespace DSTEST
