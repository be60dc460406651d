// The process-wide verifier: one instance, however many threads ask at once.
#include <gtest/gtest.h>

#include <thread>

#include "DsTestSupport.h"
#include "ds_stvdsmanager.h"
#include "multiplesigncheck.h"

namespace {

TEST(digitalsignature_VerifierAccessor, TwoThreadsAtOnceConstructItOnce) {
    // The instance is made once per process: a run of several tests in one
    // process may have made it already (ctest runs each test alone).
    ASSERT_EQ(::testing::UnitTest::GetInstance()->test_to_run_count(), 1)
        << "needs a process of its own";
    DSTEST::CTraceCapture trace;
    UTIL::unique_handle go(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CVerifyFileSignV2* seen[2] = {};
    auto reach = [&](int slot) {
        ::WaitForSingleObject(go.get(), INFINITE);
        seen[slot] = &GetVerifyFileSignV2();
    };
    std::thread first(reach, 0);
    std::thread second(reach, 1);
    ::SetEvent(go.get());
    first.join();
    second.join();

    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(&GetVerifyFileSignV2(), seen[0]);
    // The constructor loads the key list once; it traces the provider path.
    EXPECT_EQ(trace.Count(L"LoadKorvalisAndUpdatePublicKeyList - << "), 1u);
}

}  // namespace
