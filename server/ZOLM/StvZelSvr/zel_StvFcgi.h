#pragma once

// Name of the command that asks the command manager to clean up the
// sample-submission folder.
constexpr const wchar_t* kCleanupSampleFolderCommand = L"CMZELV2_ZELSVR_CLEANUP_SAMPLE_FOLDER";

// Sends the cleanup command to the command manager; true when the whole
// message was written to its pipe.
bool CleanupSampleSubmissionFolder();
