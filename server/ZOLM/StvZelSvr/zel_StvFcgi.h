#pragma once

#include "zel_ScheduleTask.h"

// Name of the command that asks the command manager to clean up the
// sample-submission folder.
constexpr const wchar_t* kCleanupSampleFolderCommand = L"CMZELV2_ZELSVR_CLEANUP_SAMPLE_FOLDER";

// Sends the cleanup command to the command manager; true when the whole
// message was written to its pipe.
bool CleanupSampleSubmissionFolder();

// Interval of the cleanup, from "SampleFolderCleanupHour" and
// "SampleFolderCleanupMinute"; both 0 means every 30 minutes.
struct CleanupInterval {
    int hour;
    int minute;
};
// Inline: the support tool computes the same schedule without linking the
// service's send path.
inline CleanupInterval MakeCleanupInterval(int hour, int minute) {
    if (hour == 0 && minute == 0) return {0, 30};
    return {hour, minute};
}

// The periodic cleanup: a kind-7 schedule whose interval is read from the
// module profile once per process.
class ZelSampleCleanup : public TimerInfo {
public:
    ZelSampleCleanup();
    void loadSchedule() override;
    void runTask() override;
};
