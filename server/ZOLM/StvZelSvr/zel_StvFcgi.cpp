#include "zel_StvFcgi.h"

#include "DebugTrace.h"
#include "ProfileCache.h"
#include "cmzel_OutputCmd.h"
#include "zel_ServiceState.h"

bool CleanupSampleSubmissionFolder() {
    DebugTraceA('D', TRACE_SRC_A, "%s - >>", "CleanupSampleSubmissionFolder");
    bool sent = false;
    {
        CMsgSerializer message(kCleanupSampleFolderCommand, 1);
        // A stop request ends the send at once: the stop sequence waits for
        // this thread.
        sent = cmzel_OutputCommand(message, g_terminateEvent);
    }
    DebugTraceA('I', TRACE_SRC_A, sent ? "%s - success" : "%s - failed",
                "CleanupSampleSubmissionFolder");
    DebugTraceA('D', TRACE_SRC_A, "%s - <<", "CleanupSampleSubmissionFolder");
    return sent;
}

namespace {

// Read once per process (thread-safe static initialisation): a change of the
// file takes effect at the next service start.
const CleanupInterval& KeptCleanupInterval() {
    static const CleanupInterval interval = MakeCleanupInterval(
        static_cast<int>(ModuleProfile().GetIntW(L"Sample_Submission", L"SampleFolderCleanupHour", 1, 0)),
        static_cast<int>(
            ModuleProfile().GetIntW(L"Sample_Submission", L"SampleFolderCleanupMinute", 0, 0)));
    return interval;
}

}  // namespace

ZelSampleCleanup::ZelSampleCleanup() { m_lastRun = s_pfnNow(); }

void ZelSampleCleanup::loadSchedule() {
    m_enabled = true;
    const CleanupInterval& interval = KeptCleanupInterval();
    m_kind = 7;
    m_dayOfMonth = 0;
    m_dayOfWeek = 0;
    m_hour = interval.hour;
    m_minute = interval.minute;
}

// The last run is set before sending, so a failed send waits for the next
// full interval.
void ZelSampleCleanup::runTask() {
    m_lastRun = s_pfnNow();
    CleanupSampleSubmissionFolder();
}
