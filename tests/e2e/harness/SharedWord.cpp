#include "SharedWord.h"

namespace ZELTEST {

CSharedWord::CSharedWord(const wchar_t* sectionName)
    : m_section(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                     sizeof(DWORD), sectionName)) {
    if (m_section) {
        m_view.reset(::MapViewOfFile(m_section.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DWORD)));
    }
}

void CSharedWord::Set(DWORD word) {
    if (Valid())
        ::InterlockedExchange(static_cast<volatile LONG*>(m_view.get()), static_cast<LONG>(word));
}

DWORD CSharedWord::Get() const {
    return Valid() ? static_cast<DWORD>(*static_cast<volatile LONG*>(m_view.get())) : 0;
}

}  // namespace ZELTEST
