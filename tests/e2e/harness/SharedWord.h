// Writes a shared log-level word (by default the product's
// "Global\log_level_map_file"), creating the section when it is missing.
#pragma once

#include <windows.h>

#include "UniqueHandle.h"

namespace ZELTEST {

class CSharedWord {
public:
    explicit CSharedWord(const wchar_t* sectionName = L"Global\\log_level_map_file");
    bool Valid() const { return m_view.get() != nullptr; }
    void Set(DWORD word);
    DWORD Get() const;

private:
    UTIL::unique_handle m_section;
    UTIL::unique_mapped_view m_view;
};

}  // namespace ZELTEST
