#include "CheckPeers.h"

#include <string>

namespace {

constexpr wchar_t kLogPipe[] = L"Log_ServerNamePipe";
constexpr wchar_t kCommandPipe[] = L"Global\\ZelModuleCommandManager";

std::wstring Unknown(const PipeProbeResult& result, const wchar_t* pipe) {
    return std::wstring(L"cannot tell whether one listens on ") + pipe + L" (error " +
           std::to_wstring(result.error) + L")";
}

CheckLine LogServerLine(const PipeProbeResult& result) {
    const wchar_t* name = L"peers log server";
    switch (result.probe) {
        case PipeProbe::Listening:
            return Ok(name, std::wstring(L"listening on ") + kLogPipe);
        case PipeProbe::Busy:
            return Ok(name, std::wstring(L"running on ") + kLogPipe +
                                L", every pipe instance busy right now");
        case PipeProbe::Absent:
            return Ok(name, std::wstring(L"none listening on ") + kLogPipe +
                                L" (the normal state): traces are dropped until one runs");
        case PipeProbe::Denied:
            return NeedsAdministrator(
                name, std::wstring(L"the pipe ") + kLogPipe + L" cannot be looked at");
        case PipeProbe::Unknown:
            break;
    }
    return Warn(name, Unknown(result, kLogPipe), L"look for the log server's process");
}

CheckLine CommandManagerLine(const PipeProbeResult& result) {
    const wchar_t* name = L"peers command manager";
    switch (result.probe) {
        case PipeProbe::Listening:
            return Ok(name, std::wstring(L"listening on ") + kCommandPipe);
        case PipeProbe::Busy:
            return Ok(name, std::wstring(L"running on ") + kCommandPipe +
                                L", every pipe instance busy right now");
        case PipeProbe::Absent:
            return Warn(name, std::wstring(L"none listening on ") + kCommandPipe,
                        L"start the ZEL command manager: until it runs, the sample-folder "
                        L"cleanup cannot be delivered");
        case PipeProbe::Denied:
            return NeedsAdministrator(
                name, std::wstring(L"the pipe ") + kCommandPipe + L" cannot be looked at");
        case PipeProbe::Unknown:
            break;
    }
    return Warn(name, Unknown(result, kCommandPipe), L"look for the command manager's process");
}

}  // namespace

PipeProbeResult ProbePipe(const wchar_t* pipeName) {
    const std::wstring path = std::wstring(L"\\\\.\\pipe\\") + pipeName;
    PipeProbeResult result;
    if (WaitNamedPipeW(path.c_str(), kPipeProbeMs)) {
        result.probe = PipeProbe::Listening;
        return result;
    }
    result.error = GetLastError();
    switch (result.error) {
        case ERROR_SEM_TIMEOUT:
            result.probe = PipeProbe::Busy;
            break;
        case ERROR_FILE_NOT_FOUND:
            result.probe = PipeProbe::Absent;
            break;
        case ERROR_ACCESS_DENIED:
            result.probe = PipeProbe::Denied;
            break;
        default:
            result.probe = PipeProbe::Unknown;
            break;
    }
    return result;
}

std::vector<CheckLine> CheckPeers() {
    return {LogServerLine(ProbePipe(kLogPipe)), CommandManagerLine(ProbePipe(kCommandPipe))};
}
