// Cached reads of one INI file: each answer is kept for the expiry (30 s by
// default) so that repeated reads from any thread do not reparse the file.
#pragma once

#include "Locks.h"

#include <windows.h>

#include <map>
#include <string>

class CProfileCache {
public:
    // Seam for tests that must move time (expiry, tick-counter wrap).
    using TickSource = DWORD (*)();

    CProfileCache();
    virtual ~CProfileCache() = default;
    CProfileCache(const CProfileCache&) = delete;
    CProfileCache& operator=(const CProfileCache&) = delete;

    bool OpenW(const wchar_t* pszPath, int nExpirySeconds);
    bool OpenA(const char* pszPath, int nExpirySeconds);

    unsigned int GetIntW(const wchar_t* pszSection, const wchar_t* pszKey, int nDefault,
                         int nBypass);
    unsigned int GetIntA(const char* pszSection, const char* pszKey, int nDefault, int nBypass);

    unsigned int GetStringW(wchar_t* pszOut, const wchar_t* pszSection, const wchar_t* pszKey,
                            const wchar_t* pszDefault, unsigned int nSize, int nBypass);
    unsigned int GetStringA(char* pszOut, const char* pszSection, const char* pszKey,
                            const char* pszDefault, unsigned int nSize, int nBypass);

    void SetTickSource(TickSource pfnTicks) { m_pfnTicks = pfnTicks; }

private:
    struct IntEntry {
        unsigned int value;
        DWORD stamp;
    };
    struct StringEntry {
        std::string value;
        DWORD stamp;
    };

    bool IsFresh(DWORD stamp) const;
    bool LookUpInt(const std::string& key, unsigned int& value) const;
    bool LookUpString(const std::string& key, std::string& value) const;

    std::string m_strPath;
    std::map<std::string, IntEntry> m_intCache;
    std::map<std::string, StringEntry> m_stringCache;
    mutable UTIL::CStvSRWLock m_lock;
    DWORD m_dwExpiryMs;
    TickSource m_pfnTicks;
};

// The three process-wide profiles, bound by main before any other thread.
CProfileCache& ScanProfile();    // "stvscan.ini"
CProfileCache& ServerProfile();  // "Private\stvserver.ini"
CProfileCache& ModuleProfile();  // "Private\stvZelSvr.ini"
