#include "LogLevelMap.h"

int TraceLevelRank(int level) {
    switch (level & 0xFF) {
        case 'F':
        case 0:
        case 1:
        case 2:
            return 2;
        case 'E':
        case 3:
        case 4:
            return 4;
        case 'W':
        case 5:
            return 5;
        case 'I':
        case 6:
        case 7:
            return 7;
        case 'N':
            return -1;
        default:
            return 9;  // 'D' and every value no other rank names
    }
}

bool IsLevelEnabledByWord(DWORD word, int level) {
    if ((static_cast<unsigned>(level) & ~0xFFu) != 0) return true;
    if ((word & TRACE_LEVEL_GATE_ON) == 0) return true;
    const int threshold = static_cast<SHORT>(word & TRACE_LEVEL_THRESHOLD_MASK);
    return TraceLevelRank(level) <= threshold;
}

CLogLevelMap::CLogLevelMap(const wchar_t* sectionName) {
    // A null DACL gives every account of the machine full access: processes
    // of other accounts share the same word.
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, TRUE};

    m_hSection = ::CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                      sizeof(LONG), sectionName);
    if (m_hSection == nullptr) return;
    m_pWord = static_cast<volatile LONG*>(
        ::MapViewOfFile(m_hSection, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG)));
}

CLogLevelMap::~CLogLevelMap() {
    ::AcquireSRWLockExclusive(&m_lock);
    if (m_pWord != nullptr) ::UnmapViewOfFile(const_cast<LONG*>(m_pWord));
    m_pWord = nullptr;
    if (m_hSection != nullptr) ::CloseHandle(m_hSection);
    m_hSection = nullptr;
    ::ReleaseSRWLockExclusive(&m_lock);
}

CLogLevelMap& CLogLevelMap::Instance() {
    static CLogLevelMap map(kLogLevelMapName);  // thread-safe one-time initialisation
    return map;
}

bool CLogLevelMap::IsLevelEnabled(int level) const {
    if (m_pWord == nullptr) return true;
    return IsLevelEnabledByWord(static_cast<DWORD>(*m_pWord), level);
}
