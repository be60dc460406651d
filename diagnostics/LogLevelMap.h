// The level word that the product's processes share in named memory, and
// the gate that it drives.
#pragma once

#include <windows.h>

// Bit 16 of the shared word switches the gate on; the low 16 bits are a
// signed threshold of ranks.
constexpr DWORD TRACE_LEVEL_GATE_ON = 0x00010000;
constexpr DWORD TRACE_LEVEL_THRESHOLD_MASK = 0x0000FFFF;

constexpr wchar_t kLogLevelMapName[] = L"Global\\log_level_map_file";

// Rank of a trace level's low byte read as a letter: F 2, E 4, W 5, I 7,
// N -1, D (and every unnamed value) 9.
int TraceLevelRank(int level);

// Whether a level passes a given shared word.
bool IsLevelEnabledByWord(DWORD word, int level);

class CLogLevelMap {
public:
    explicit CLogLevelMap(const wchar_t* sectionName);
    ~CLogLevelMap();
    CLogLevelMap(const CLogLevelMap&) = delete;
    CLogLevelMap& operator=(const CLogLevelMap&) = delete;

    // The process's map, made on first use by a thread-safe initialisation.
    static CLogLevelMap& Instance();

    bool HasView() const { return m_pWord != nullptr; }
    bool IsLevelEnabled(int level) const;

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
    HANDLE m_hSection = nullptr;
    volatile LONG* m_pWord = nullptr;
};
