// One service installed under the prefix's Service Control Manager for a
// test: stopped and deleted again when the object goes, even after a failure.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

namespace ZELTEST {

struct ScHandleCloser {
    void operator()(SC_HANDLE handle) const {
        if (handle) CloseServiceHandle(handle);
    }
};
using unique_sc_handle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleCloser>;

class CScmService {
public:
    explicit CScmService(const wchar_t* name) : m_name(name) {}
    ~CScmService() { Remove(); }
    CScmService(const CScmService&) = delete;
    CScmService& operator=(const CScmService&) = delete;

    // Creates the service (demand start, own process) for an executable,
    // replacing a leftover of the same name.
    bool Install(const std::wstring& exePath);
    // Takes over a service of this name that someone else created, so that
    // it is removed too; false when there is none.
    bool Open();
    bool Start();
    bool Control(DWORD control);
    bool Stop() { return Control(SERVICE_CONTROL_STOP) && WaitForState(SERVICE_STOPPED); }
    bool WaitForState(DWORD state, DWORD timeoutMs = 60000) const;
    // Stops the service if it runs and deletes it.
    void Remove();
    // Closes the handles and leaves the service as it is.
    void Release() {
        m_service.reset();
        m_scm.reset();
    }
    SC_HANDLE Handle() const { return m_service.get(); }

private:
    void WaitUntilNotStartPending() const;

    std::wstring m_name;
    unique_sc_handle m_scm;
    unique_sc_handle m_service;
};

}  // namespace ZELTEST
