#include "zel_StvFcgi.h"

#include "DebugTrace.h"
#include "cmzel_OutputCmd.h"

bool CleanupSampleSubmissionFolder() {
    DebugTraceA('D', TRACE_SRC_A, "%s - >>", "CleanupSampleSubmissionFolder");
    bool sent = false;
    {
        CMsgSerializer message(kCleanupSampleFolderCommand, 1);
        sent = cmzel_OutputCommand(message);
    }
    DebugTraceA('I', TRACE_SRC_A, sent ? "%s - success" : "%s - failed",
                "CleanupSampleSubmissionFolder");
    DebugTraceA('D', TRACE_SRC_A, "%s - <<", "CleanupSampleSubmissionFolder");
    return sent;
}
