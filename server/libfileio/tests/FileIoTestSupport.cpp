#include "FileIoTestSupport.h"

#include <wincrypt.h>
#include <mssip.h>

#include <gtest/gtest.h>

#include "DebugTrace.h"
#include "ProductFolder.h"
#include "UniqueHandle.h"

namespace FILEIOTEST {
namespace {

CScriptedPlatform* g_pScripted = nullptr;

// The SIP subject type of PE images.
const GUID kPeImageSubject = {
    0xC689AAB8, 0x8E78, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

std::wstring TextAfterHead(const std::wstring& line) {
    // "[tag][exe]text": the text starts after the second closing bracket.
    const size_t first = line.find(L']');
    const size_t second = first == std::wstring::npos ? first : line.find(L']', first + 1);
    return second == std::wstring::npos ? line : line.substr(second + 1);
}

}  // namespace

std::wstring Fixture(const wchar_t* name) {
    return ZELTEST::WinePathOf(FILEIO_FIXTURES) + L"\\" + name;
}

std::wstring UnsignedSample() {
    return ZELTEST::WinePathOf(FILEIO_SAMPLE_UNSIGNED);
}
std::wstring UnsignedKorvalis() {
    return ZELTEST::WinePathOf(FILEIO_KORVALIS_UNSIGNED);
}

std::wstring ExeFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\') + 1);
}

PublicKeyBytes CertificateKey(const char* signer) {
    const std::string unixPath = std::string(FILEIO_PKI_DIR) + "/" + signer + ".der";
    const std::vector<BYTE> der = ReadWholeFile(ZELTEST::WinePathOf(unixPath.c_str()));
    PCCERT_CONTEXT cert = ::CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (cert == nullptr) return {};
    const CRYPT_BIT_BLOB& key = cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    PublicKeyBytes bytes(key.pbData, key.pbData + key.cbData);
    ::CertFreeCertificateContext(cert);
    return bytes;
}

std::vector<BYTE> ReadWholeFile(const std::wstring& path) {
    UTIL::unique_handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file.get(), &size);
    std::vector<BYTE> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() &&
        !::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return {};
    }
    bytes.resize(read);
    return bytes;
}

bool WriteWholeFile(const std::wstring& path, const std::vector<BYTE>& bytes) {
    UTIL::unique_handle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr) &&
           written == bytes.size();
}

bool CopyWithFlippedByte(const std::wstring& source, const std::wstring& target, DWORD offset) {
    std::vector<BYTE> bytes = ReadWholeFile(source);
    if (offset >= bytes.size()) return false;
    bytes[offset] = static_cast<BYTE>(~bytes[offset]);
    return WriteWholeFile(target, bytes);
}

CTraceCapture::CTraceCapture() {
    m_started = m_listener.Start();
}

std::vector<TraceLine> CTraceCapture::Lines() {
    if (!m_collected) {
        m_collected = true;
        EXPECT_TRUE(m_started);
        DebugTraceW('I', TRACE_SRC_W, L"fileio-test-marker");
        EXPECT_TRUE(m_listener.WaitForLine(L"]fileio-test-marker"));
        m_listener.Stop();
        for (const ZELTEST::LogRecord& record : m_listener.Records()) {
            const std::wstring text = TextAfterHead(record.Line());
            if (text == L"fileio-test-marker") break;
            m_lines.push_back({record.Level(), text});
        }
    }
    return m_lines;
}

const TraceLine* CTraceCapture::Find(const std::wstring& part) {
    Lines();
    for (const TraceLine& line : m_lines) {
        if (line.text.find(part) != std::wstring::npos) return &line;
    }
    return nullptr;
}

std::string CTraceCapture::Dump() {
    std::string text;
    for (const TraceLine& line : Lines()) {
        text += static_cast<char>(line.level);
        text += ' ';
        for (wchar_t c : line.text) text += c < 128 ? static_cast<char>(c) : '?';
        text += '\n';
    }
    return text;
}

CScriptedPlatform::CScriptedPlatform() : m_table(DS::RealTrustPlatform()), m_scope(m_table) {
    g_pScripted = this;
}

CScriptedPlatform::~CScriptedPlatform() {
    g_pScripted = nullptr;
}

void CScriptedPlatform::ScriptWinVerifyTrust(
    std::function<LONG(const WinVerifyCall&, DS::SignatureSettings*)> verify, LONG closeStatus) {
    m_verify = std::move(verify);
    m_closeStatus = closeStatus;
    m_table.WinVerifyTrust = &WinVerifyTrustHook;
}

void CScriptedPlatform::ScriptMultipleSignPlatform() {
    m_table.GetProcAddress = &GetProcAddressHook;
}

void CScriptedPlatform::ScriptSipHashCheck(BOOL verdict, DWORD error) {
    m_indirectVerdict = verdict;
    m_indirectError = error;
    m_table.CryptSIPRetrieveSubjectGuidForCatalogFile = &RetrieveSubjectGuidHook;
    m_table.CryptSIPVerifyIndirectData = &VerifyIndirectDataHook;
}

LONG WINAPI CScriptedPlatform::WinVerifyTrustHook(HWND, GUID*, LPVOID trustData) {
    auto* data = static_cast<WINTRUST_DATA*>(trustData);
    WinVerifyCall call;
    call.cbStruct = data->cbStruct;
    call.stateAction = data->dwStateAction;
    call.provFlags = data->dwProvFlags;
    call.uiChoice = data->dwUIChoice;
    call.stateHandle = data->hWVTStateData;
    if (data->dwUnionChoice == WTD_CHOICE_FILE && data->pFile != nullptr) {
        call.file = data->pFile->hFile;
        call.hasPath = data->pFile->pcwszFilePath != nullptr;
        if (call.hasPath) call.path = data->pFile->pcwszFilePath;
        BY_HANDLE_FILE_INFORMATION info{};
        if (call.file != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(call.file, &info)) {
            call.fileIndex = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
            call.volumeSerial = info.dwVolumeSerialNumber;
        }
    }
    DS::SignatureSettings* settings = nullptr;
    if (data->cbStruct >= sizeof(DS::WinTrustDataEx)) {
        settings = static_cast<DS::WinTrustDataEx*>(trustData)->pSignatureSettings;
    }
    if (settings != nullptr) {
        call.hasSettings = true;
        call.index = settings->dwIndex;
        call.settingsFlags = settings->dwFlags;
        if (settings->pCryptoPolicy != nullptr &&
            settings->pCryptoPolicy->dwInfoChoice == CERT_STRONG_SIGN_OID_INFO_CHOICE) {
            call.policyOid = settings->pCryptoPolicy->pszOID;
        }
    }
    CScriptedPlatform& self = *g_pScripted;
    self.calls.push_back(call);
    if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
        data->hWVTStateData = nullptr;
        return self.m_closeStatus;
    }
    // A verification leaves a state for the close to release.
    if (data->dwStateAction == WTD_STATEACTION_VERIFY) {
        data->hWVTStateData = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5EA1));
    }
    return self.m_verify(call, settings);
}

FARPROC WINAPI CScriptedPlatform::GetProcAddressHook(HMODULE module, LPCSTR name) {
    if (::lstrcmpA(name, "CryptCATAdminAcquireContext2") == 0 ||
        ::lstrcmpA(name, "CryptCATAdminCalcHashFromFileHandle2") == 0) {
        // Only the presence of the two entries matters to the probe.
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&::GetTickCount));
    }
    return ::GetProcAddress(module, name);
}

BOOL WINAPI CScriptedPlatform::RetrieveSubjectGuidHook(LPCWSTR, HANDLE, GUID* subject) {
    *subject = kPeImageSubject;
    return TRUE;
}

BOOL WINAPI CScriptedPlatform::VerifyIndirectDataHook(SIP_SUBJECTINFO* subject,
                                                      SIP_INDIRECT_DATA* indirectData) {
    CScriptedPlatform& self = *g_pScripted;
    self.sipSubjectFiles.push_back(subject->pwsFileName != nullptr ? subject->pwsFileName : L"");
    self.indirectDataDigestOids.push_back(indirectData->DigestAlgorithm.pszObjId != nullptr
                                              ? indirectData->DigestAlgorithm.pszObjId
                                              : "");
    self.indirectDataDigestSizes.push_back(indirectData->Digest.cbData);
    if (!self.m_indirectVerdict) ::SetLastError(self.m_indirectError);
    return self.m_indirectVerdict;
}

bool KeyExists32(const wchar_t* subKey) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

namespace {

// Deletes `subKey` with everything below it (32-bit view).
bool DeleteTree32(const std::wstring& subKey) {
    const size_t slash = subKey.rfind(L'\\');
    HKEY parent = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.substr(0, slash).c_str(), 0,
                        KEY_ALL_ACCESS | KEY_WOW64_32KEY, &parent) != ERROR_SUCCESS) {
        return false;
    }
    UTIL::unique_hkey owner(parent);
    return ::RegDeleteTreeW(parent, subKey.substr(slash + 1).c_str()) == ERROR_SUCCESS;
}

// Copies `from` with everything below it to a new key `to` (32-bit view).
bool CopyTree32(const std::wstring& from, const std::wstring& to) {
    HKEY source = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, from.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &source) !=
        ERROR_SUCCESS) {
        return false;
    }
    UTIL::unique_hkey sourceOwner(source);
    HKEY target = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, to.c_str(), 0, nullptr, 0,
                          KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &target,
                          nullptr) != ERROR_SUCCESS) {
        return false;
    }
    UTIL::unique_hkey targetOwner(target);
    return ::RegCopyTreeW(source, nullptr, target) == ERROR_SUCCESS;
}

}  // namespace

CRegistryKeyHider::CRegistryKeyHider(const wchar_t* subKey)
    : m_subKey(subKey), m_copyKey(std::wstring(subKey) + L" (hidden by fileio_tests)") {
    if (!KeyExists32(subKey)) return;
    m_moved = CopyTree32(m_subKey, m_copyKey) && DeleteTree32(m_subKey);
}

CRegistryKeyHider::~CRegistryKeyHider() {
    if (m_moved && CopyTree32(m_copyKey, m_subKey)) DeleteTree32(m_copyKey);
}

CRegistryValueOverride::CRegistryValueOverride(const wchar_t* subKey, const wchar_t* valueName)
    : m_subKey(subKey), m_valueName(valueName) {
    // The first missing component of the path is what Set() would create.
    for (size_t end = m_subKey.find(L'\\');; end = m_subKey.find(L'\\', end + 1)) {
        const std::wstring prefix = m_subKey.substr(0, end);
        if (!KeyExists32(prefix.c_str())) {
            m_firstCreated = prefix;
            break;
        }
        if (end == std::wstring::npos) break;
    }
    m_keyExisted = m_firstCreated.empty();
    if (!m_keyExisted) return;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    UTIL::unique_hkey owner(key);
    DWORD size = 0;
    if (::RegQueryValueExW(key, valueName, nullptr, &m_type, nullptr, &size) == ERROR_SUCCESS) {
        m_data.resize(size);
        m_valueExisted = ::RegQueryValueExW(key, valueName, nullptr, &m_type, m_data.data(),
                                            &size) == ERROR_SUCCESS;
        m_data.resize(size);
    }
}

CRegistryValueOverride::~CRegistryValueOverride() {
    if (!m_keyExisted) {
        // Remove the part of the path that we created, with all below it.
        const size_t slash = m_firstCreated.rfind(L'\\');
        HKEY parent = nullptr;
        if (slash != std::wstring::npos &&
            ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_firstCreated.substr(0, slash).c_str(), 0,
                            KEY_ALL_ACCESS | KEY_WOW64_32KEY, &parent) == ERROR_SUCCESS) {
            ::RegDeleteTreeW(parent, m_firstCreated.substr(slash + 1).c_str());
            ::RegCloseKey(parent);
        }
        return;
    }
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_subKey.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                        &key) != ERROR_SUCCESS) {
        return;
    }
    UTIL::unique_hkey owner(key);
    if (m_valueExisted) {
        ::RegSetValueExW(key, m_valueName.c_str(), 0, m_type, m_data.data(),
                         static_cast<DWORD>(m_data.size()));
    } else {
        ::RegDeleteValueW(key, m_valueName.c_str());
    }
}

bool CRegistryValueOverride::Set(const std::wstring& value) {
    return SetRaw(REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool CRegistryValueOverride::SetRaw(DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_subKey.c_str(), 0, nullptr, 0,
                          KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key,
                          nullptr) != ERROR_SUCCESS) {
        return false;
    }
    UTIL::unique_hkey owner(key);
    return ::RegSetValueExW(key, m_valueName.c_str(), 0, type, static_cast<const BYTE*>(data),
                            size) == ERROR_SUCCESS;
}

bool CRegistryValueOverride::Remove() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_subKey.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                        &key) != ERROR_SUCCESS) {
        return true;
    }
    UTIL::unique_hkey owner(key);
    const LSTATUS status = ::RegDeleteValueW(key, m_valueName.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace FILEIOTEST
