#include "ScmService.h"

namespace ZELTEST {
namespace {
constexpr DWORD kPollMs = 200;
}  // namespace

bool CScmService::Install(const std::wstring& exePath) {
    m_scm.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!m_scm) return false;
    unique_sc_handle old(OpenServiceW(m_scm.get(), m_name.c_str(), SERVICE_ALL_ACCESS));
    if (old) {
        SERVICE_STATUS status{};
        ControlService(old.get(), SERVICE_CONTROL_STOP, &status);
        DeleteService(old.get());
    }
    m_service.reset(CreateServiceW(m_scm.get(), m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                   SERVICE_ERROR_NORMAL, (L"\"" + exePath + L"\"").c_str(), nullptr,
                                   nullptr, nullptr, nullptr, nullptr));
    return m_service != nullptr;
}

bool CScmService::Open() {
    m_scm.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!m_scm) return false;
    m_service.reset(OpenServiceW(m_scm.get(), m_name.c_str(), SERVICE_ALL_ACCESS));
    return m_service != nullptr;
}

bool CScmService::Start() {
    return StartServiceW(m_service.get(), 0, nullptr) != FALSE;
}

bool CScmService::Control(DWORD control) {
    SERVICE_STATUS status{};
    return ControlService(m_service.get(), control, &status) != FALSE;
}

bool CScmService::WaitForState(DWORD state, DWORD timeoutMs) const {
    for (DWORD waited = 0; waited < timeoutMs; waited += kPollMs) {
        SERVICE_STATUS status{};
        if (QueryServiceStatus(m_service.get(), &status) && status.dwCurrentState == state)
            return true;
        Sleep(kPollMs);
    }
    return false;
}

// A start still pending accepts no stop: let it finish first.
void CScmService::WaitUntilNotStartPending() const {
    for (int i = 0; i < 300; ++i) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(m_service.get(), &status) ||
            status.dwCurrentState != SERVICE_START_PENDING)
            return;
        Sleep(kPollMs);
    }
}

void CScmService::Remove() {
    if (!m_service) return;
    WaitUntilNotStartPending();
    Control(SERVICE_CONTROL_STOP);
    WaitForState(SERVICE_STOPPED);
    DeleteService(m_service.get());
    m_service.reset();
}

}  // namespace ZELTEST
