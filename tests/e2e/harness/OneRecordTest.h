// Test fixture for code that sends exactly one record to the log pipe: a
// listener that is up before the test and the one record that arrived.
// Header-only: it uses GoogleTest, which only test executables link.
#pragma once

#include <gtest/gtest.h>

#include "LogPipeListener.h"

namespace ZELTEST {

class COneRecordTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_listener.Start()); }

    // Waits for the record, stops listening and returns it.
    LogRecord OnlyRecord() {
        EXPECT_TRUE(m_listener.WaitForCount(1));
        m_listener.Stop();
        const auto records = m_listener.Records();
        EXPECT_EQ(records.size(), 1u);
        return records.empty() ? LogRecord{} : records[0];
    }

    CLogPipeListener m_listener;
};

}  // namespace ZELTEST
