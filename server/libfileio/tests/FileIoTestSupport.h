// Helpers of the verifier tests: the signed fixtures, the test PKI's keys,
// trace capture through an in-process log server, a scripted platform table
// and the product's registry value.
//
// Test suites are named fileio_<fixture> (an alias of the fixture class), so
// that `ctest -R fileio` selects this library's tests.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "LogPipeListener.h"
#include "TrustPlatform.h"
#include "multiplesigncheck.h"

namespace FILEIOTEST {

// A file of the fixtures folder (signed copies made at build time).
std::wstring Fixture(const wchar_t* name);
std::wstring UnsignedSample();
std::wstring UnsignedKorvalis();
// The folder of this test executable, with its trailing backslash: the
// default location of the key provider.
std::wstring ExeFolder();

// The raw subject-public-key bits of a test PKI certificate ("karvelo",
// "other", "expired", ...), as CryptoAPI decodes them.
PublicKeyBytes CertificateKey(const char* signer);

// A copy of `source` at `target` with the byte at `offset` inverted.
bool CopyWithFlippedByte(const std::wstring& source, const std::wstring& target, DWORD offset);
std::vector<BYTE> ReadWholeFile(const std::wstring& path);
bool WriteWholeFile(const std::wstring& path, const std::vector<BYTE>& bytes);

struct TraceLine {
    int level;
    std::wstring text;  // the line after its "[tag][exe]" head
};

// Collects the trace lines of a test: an in-process log server from
// construction until the first question, which takes everything that arrived
// before a marker it traces. Ask only after the actions under test.
class CTraceCapture {
public:
    CTraceCapture();
    std::vector<TraceLine> Lines();
    // The first line containing `part`, or null.
    const TraceLine* Find(const std::wstring& part);
    bool Contains(const std::wstring& part) { return Find(part) != nullptr; }
    // Every line, for failure messages.
    std::string Dump();

private:
    ZELTEST::CLogPipeListener m_listener;
    bool m_started = false;
    bool m_collected = false;
    std::vector<TraceLine> m_lines;
};

// One WinVerifyTrust call as a scripted table saw it.
struct WinVerifyCall {
    DWORD cbStruct = 0;
    DWORD stateAction = 0;
    DWORD provFlags = 0;
    DWORD uiChoice = 0;
    HANDLE stateHandle = nullptr;
    HANDLE file = nullptr;
    bool hasPath = false;
    std::wstring path;        // the file-info record's path, when it has one
    ULONGLONG fileIndex = 0;  // of the file the handle is open on; 0 without one
    DWORD volumeSerial = 0;
    bool hasSettings = false;
    DWORD index = 0;
    DWORD settingsFlags = 0;
    std::string policyOid;  // the strong-sign policy, empty when none
};

// A platform table that starts as the real one; a test replaces the calls
// it scripts. Installed for the object's lifetime; one at a time.
class CScriptedPlatform {
public:
    CScriptedPlatform();
    ~CScriptedPlatform();
    CScriptedPlatform(const CScriptedPlatform&) = delete;
    CScriptedPlatform& operator=(const CScriptedPlatform&) = delete;

    // Scripts WinVerifyTrust: `verify` answers each verification (the
    // settings, on the multiple-sign record, may be written), every close
    // answers `closeStatus`. Calls are recorded.
    void ScriptWinVerifyTrust(
        std::function<LONG(const WinVerifyCall&, DS::SignatureSettings*)> verify,
        LONG closeStatus = 0);
    // The two newer catalog functions appear exported (a multiple-sign
    // platform).
    void ScriptMultipleSignPlatform();
    // The SIP hash check: the subject type of a PE image, and the verdict of
    // CryptSIPVerifyIndirectData (with its last error when it refuses).
    void ScriptSipHashCheck(BOOL verdict, DWORD error = 0);

    std::vector<WinVerifyCall> calls;
    std::vector<std::string> indirectDataDigestOids;
    std::vector<DWORD> indirectDataDigestSizes;
    std::vector<std::wstring> sipSubjectFiles;

private:
    static LONG WINAPI WinVerifyTrustHook(HWND, GUID*, LPVOID);
    static FARPROC WINAPI GetProcAddressHook(HMODULE, LPCSTR);
    static BOOL WINAPI RetrieveSubjectGuidHook(LPCWSTR, HANDLE, GUID*);
    static BOOL WINAPI VerifyIndirectDataHook(SIP_SUBJECTINFO*, SIP_INDIRECT_DATA*);

    DS::TrustPlatform m_table;  // before m_scope, which points at it
    DS::CScopedTrustPlatform m_scope;
    std::function<LONG(const WinVerifyCall&, DS::SignatureSettings*)> m_verify;
    LONG m_closeStatus = 0;
    BOOL m_indirectVerdict = TRUE;
    DWORD m_indirectError = 0;
};

// Sets one REG_SZ value of a HKLM key (32-bit view) and restores what was
// there (value and key) when it goes.
class CRegistryValueOverride {
public:
    CRegistryValueOverride(const wchar_t* subKey, const wchar_t* valueName);
    ~CRegistryValueOverride();
    CRegistryValueOverride(const CRegistryValueOverride&) = delete;
    CRegistryValueOverride& operator=(const CRegistryValueOverride&) = delete;

    bool Set(const std::wstring& value);
    bool SetRaw(DWORD type, const void* data, DWORD size);
    bool Remove();  // the value only; the key stays

private:
    std::wstring m_subKey;
    std::wstring m_valueName;
    std::wstring m_firstCreated;  // empty when the whole key existed
    bool m_keyExisted = false;
    bool m_valueExisted = false;
    DWORD m_type = 0;
    std::vector<BYTE> m_data;
};

bool KeyExists32(const wchar_t* subKey);

// Takes a HKLM key (32-bit view) with everything below it out of the way
// for its lifetime, keeping a copy beside it, and puts it back when it goes.
class CRegistryKeyHider {
public:
    explicit CRegistryKeyHider(const wchar_t* subKey);
    ~CRegistryKeyHider();
    CRegistryKeyHider(const CRegistryKeyHider&) = delete;
    CRegistryKeyHider& operator=(const CRegistryKeyHider&) = delete;

    bool Hidden() const { return !KeyExists32(m_subKey.c_str()); }

private:
    std::wstring m_subKey;
    std::wstring m_copyKey;
    bool m_moved = false;
};

}  // namespace FILEIOTEST
