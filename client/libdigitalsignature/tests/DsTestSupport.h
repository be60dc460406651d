// Helpers of the signature manager tests: the test binaries beside the test
// executable, a capture of the trace lines a check writes, and a scripted
// platform table for what Wine 8 cannot answer.
#pragma once

#include <windows.h>
#include <softpub.h>

#include <functional>
#include <string>
#include <vector>

#include "LogPipeListener.h"
#include "TrustPlatform.h"

namespace DSTEST {

// Full path of a file beside the test executable.
std::wstring TestFile(const wchar_t* name);

// Trace lines (text after the "[tag][exe]" head) written while it lives.
class CTraceCapture {
public:
    CTraceCapture();
    // Every line traced so far, in order (waits for a marker line first).
    const std::vector<std::wstring>& Lines();
    bool Has(const std::wstring& part);
    size_t Count(const std::wstring& part);
    // Position of the first line holding `part`, or npos.
    size_t Find(const std::wstring& part);
    bool Started() const { return m_started; }

private:
    ZELTEST::CLogPipeListener m_listener;
    bool m_started = false;
    bool m_collected = false;
    std::vector<std::wstring> m_lines;
};

// Answers of the scripted platform; an empty function means the real call.
struct Script {
    bool multipleSignPlatform = false;                        // export the two newer catalog calls
    bool onlyAcquireContext2 = false;                         // export only the first of them
    std::function<LONG(DS::WinTrustDataEx&)> winVerifyTrust;  // verify calls only
    std::function<BOOL(HCATADMIN*, PCWSTR algorithm)> acquireContext2;
    std::function<BOOL(HCATADMIN, HANDLE, DWORD*, BYTE*)> calcHash2;
    std::function<HCATINFO(HCATADMIN, BYTE*, DWORD)> enumCatalogFromHash;
    std::function<BOOL(HCATINFO, CATALOG_INFO*)> catalogInfoFromContext;
    std::function<BOOL(LPCSTR, PCCERT_CHAIN_CONTEXT, PCERT_CHAIN_POLICY_PARA,
                       PCERT_CHAIN_POLICY_STATUS)>
        chainPolicy;
};

// Installs the script for its own scope. Close calls of WinTrust states are
// always answered by the real WinTrust.
class CScriptedPlatform {
public:
    explicit CScriptedPlatform(const Script& script);
    ~CScriptedPlatform();
    CScriptedPlatform(const CScriptedPlatform&) = delete;
    CScriptedPlatform& operator=(const CScriptedPlatform&) = delete;

private:
    Script m_script;
    DS::TrustPlatform m_table;
    DS::CScopedTrustPlatform* m_pScope = nullptr;
};

// Handles that scripted calls hand out: never passed to the real platform.
HANDLE FakeHandle(int n);
bool IsFakeHandle(const void* handle);

// Verifies `file` with the real WinTrust and leaves the state in the
// caller's record: a scripted answer with a real signer behind it.
LONG VerifyRealFileInto(const std::wstring& file, DS::WinTrustDataEx& record);

// WinTrust as Windows answers with WTD_HASH_ONLY_FLAG: Wine 8 ignores the
// flag and still checks the chain; a chain error then means a good hash.
LONG VerifyAsOnWindows(DS::WinTrustDataEx& record);

// The chain policies as Windows answers them: Wine 8 always refuses the
// timestamp policy and ignores WTPF_IGNOREEXPIRATION in the Authenticode
// policy; everything else is Wine's own answer.
BOOL PolicyAsOnWindows(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain, PCERT_CHAIN_POLICY_PARA para,
                       PCERT_CHAIN_POLICY_STATUS status);

}  // namespace DSTEST
