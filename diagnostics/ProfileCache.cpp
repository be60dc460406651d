#include "ProfileCache.h"

#include "mbwc_mbwc.h"

#include <memory>
#include <new>

namespace {

constexpr size_t kMaxPath = 260;
constexpr DWORD kDefaultExpiryMs = 30000;

DWORD PlatformTicks() {
    return GetTickCount();
}

std::string KeyText(const char* pszSection, const char* pszKey) {
    std::string key(pszSection ? pszSection : "");
    key += ':';
    key += pszKey ? pszKey : "";
    return key;
}

// Copies at most size - 1 characters and terminates; returns the count.
unsigned int CopyCut(char* pszOut, const std::string& value, unsigned int nSize) {
    if (nSize == 0) return 0;
    size_t count = value.size() < nSize - 1 ? value.size() : nSize - 1;
    value.copy(pszOut, count);
    pszOut[count] = '\0';
    return static_cast<unsigned int>(count);
}

}  // namespace

CProfileCache::CProfileCache() : m_dwExpiryMs(kDefaultExpiryMs), m_pfnTicks(PlatformTicks) {}

bool CProfileCache::OpenW(const wchar_t* pszPath, int nExpirySeconds) {
    std::string path = MBWC::WCToMBString(pszPath, nullptr, CP_ACP, 0);
    return OpenA(path.c_str(), nExpirySeconds);
}

bool CProfileCache::OpenA(const char* pszPath, int nExpirySeconds) {
    m_strPath.assign(pszPath ? pszPath : "");
    if (m_strPath.size() > kMaxPath) m_strPath.resize(kMaxPath);
    if (GetFileAttributesA(m_strPath.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    if (nExpirySeconds != 0) m_dwExpiryMs = static_cast<DWORD>(nExpirySeconds) * 1000;
    return true;
}

bool CProfileCache::IsFresh(DWORD stamp) const {
    // Unsigned difference: the wrap of the tick counter does no harm.
    return static_cast<DWORD>(m_pfnTicks() - stamp) <= m_dwExpiryMs;
}

bool CProfileCache::LookUpInt(const std::string& key, unsigned int& value) const {
    auto it = m_intCache.find(key);
    if (it == m_intCache.end() || !IsFresh(it->second.stamp)) return false;
    value = it->second.value;
    return true;
}

bool CProfileCache::LookUpString(const std::string& key, std::string& value) const {
    auto it = m_stringCache.find(key);
    if (it == m_stringCache.end() || !IsFresh(it->second.stamp)) return false;
    value = it->second.value;
    return true;
}

unsigned int CProfileCache::GetIntA(const char* pszSection, const char* pszKey, int nDefault,
                                    int nBypass) {
    if (nBypass == 1) return GetPrivateProfileIntA(pszSection, pszKey, nDefault, m_strPath.c_str());
    const std::string key = KeyText(pszSection, pszKey);
    return UTIL::ReadMostly<unsigned int>(
        m_lock, [&](unsigned int& value) { return LookUpInt(key, value); },
        [&](unsigned int& value) {
            value = GetPrivateProfileIntA(pszSection, pszKey, nDefault, m_strPath.c_str());
            m_intCache[key] = IntEntry{value, m_pfnTicks()};
        });
}

unsigned int CProfileCache::GetIntW(const wchar_t* pszSection, const wchar_t* pszKey, int nDefault,
                                    int nBypass) {
    std::string section = MBWC::WCToMBString(pszSection, nullptr, CP_ACP, 0);
    std::string key = MBWC::WCToMBString(pszKey, nullptr, CP_ACP, 0);
    return GetIntA(section.c_str(), key.c_str(), nDefault, nBypass);
}

unsigned int CProfileCache::GetStringA(char* pszOut, const char* pszSection, const char* pszKey,
                                       const char* pszDefault, unsigned int nSize, int nBypass) {
    if (pszOut == nullptr || nSize == 0) return 0;
    pszOut[0] = '\0';
    if (nBypass == 1)
        return GetPrivateProfileStringA(pszSection, pszKey, pszDefault, pszOut, nSize,
                                        m_strPath.c_str());
    const std::string key = KeyText(pszSection, pszKey);
    bool fromFile = false;
    DWORD fileCount = 0;
    std::string value = UTIL::ReadMostly<std::string>(
        m_lock, [&](std::string& cached) { return LookUpString(key, cached); },
        [&](std::string& read) {
            fromFile = true;
            fileCount = GetPrivateProfileStringA(pszSection, pszKey, pszDefault, pszOut, nSize,
                                                 m_strPath.c_str());
            // What fitted in this caller's buffer is what gets cached.
            read.assign(pszOut);
            m_stringCache[key] = StringEntry{read, m_pfnTicks()};
        });
    return fromFile ? fileCount : CopyCut(pszOut, value, nSize);
}

unsigned int CProfileCache::GetStringW(wchar_t* pszOut, const wchar_t* pszSection,
                                       const wchar_t* pszKey, const wchar_t* pszDefault,
                                       unsigned int nSize, int nBypass) {
    if (pszOut == nullptr || nSize == 0) return 0;
    std::unique_ptr<char[]> narrow(new (std::nothrow) char[nSize]);
    if (!narrow) return 0;
    std::string section = MBWC::WCToMBString(pszSection, nullptr, CP_ACP, 0);
    std::string key = MBWC::WCToMBString(pszKey, nullptr, CP_ACP, 0);
    std::string def = MBWC::WCToMBString(pszDefault, nullptr, CP_ACP, 0);
    unsigned int count =
        GetStringA(narrow.get(), section.c_str(), key.c_str(), def.c_str(), nSize, nBypass);
    MBWC::MBToWC(narrow.get(), pszOut, static_cast<int>(nSize), CP_ACP, 0);
    return count;
}

CProfileCache& ScanProfile() {
    static CProfileCache profile;
    return profile;
}

CProfileCache& ServerProfile() {
    static CProfileCache profile;
    return profile;
}

CProfileCache& ModuleProfile() {
    static CProfileCache profile;
    return profile;
}
