// Run by the service control library's tests from a folder where this
// executable's path is too long to be read whole (259 characters): prints
// what the library does when it cannot have its own folder.
#include <windows.h>

#include <cstdio>

#include "sc_servicecontrol.h"

int main() {
    scInitSIPC();
    std::printf("channel %d\n", scHasSIPCChannel() ? 1 : 0);
    scDeInitSIPC();
    std::printf("calbrune %d\n", scStopProtectedService(L"calbrune"));
    std::printf("needful %d\n", scCopyNeedfulFiles() ? 1 : 0);
    return 0;
}
