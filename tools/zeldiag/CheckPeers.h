// Check 6: are the log server and the command manager there? Found out
// without connecting: a short WaitNamedPipeW sees a pipe instance but
// writes nothing, so no record and no command comes of it.
#pragma once

#include <windows.h>

#include <vector>

#include "DiagReport.h"

// The longest a probe waits for a busy pipe. WaitNamedPipeW's 0 is not "no
// wait" but the server's own default time-out, so a small bound is given.
constexpr DWORD kPipeProbeMs = 200;

enum class PipeProbe { Listening, Busy, Absent, Denied, Unknown };

struct PipeProbeResult {
    PipeProbe probe = PipeProbe::Unknown;
    DWORD error = ERROR_SUCCESS;
};

// `pipeName` without the "\\.\pipe\" prefix.
PipeProbeResult ProbePipe(const wchar_t* pipeName);

std::vector<CheckLine> CheckPeers();
