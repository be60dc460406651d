// Small helpers shared by the trace tests.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace TRACETEST {

// The file name of this test executable, as the composed line names it.
inline std::wstring ExeName() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH - 1);
    const std::wstring full = path;
    return full.substr(full.rfind(L'\\') + 1);
}

// The composed line without its "[tag][exe]" head: for tests that check
// the text whatever the trace identity is.
inline std::wstring TextAfterHead(const std::wstring& line) {
    const std::wstring exeClose = L"][" + ExeName() + L"]";
    const size_t at = line.find(exeClose);
    return at == std::wstring::npos ? L"<no head> " + line : line.substr(at + exeClose.size());
}

}  // namespace TRACETEST

// Trace identity, the debug library and the "no log server" report are
// process-wide and set once; tests about them need a process of their own,
// which CTest gives every test. Run together in one process they fail: their
// precondition cannot be set up there.
#define REQUIRE_RUN_ALONE()                                                \
    ASSERT_EQ(::testing::UnitTest::GetInstance()->test_to_run_count(), 1) \
        << "needs its own process (ctest runs each test alone)"
