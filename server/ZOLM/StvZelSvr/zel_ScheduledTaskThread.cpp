#include "DebugTrace.h"
#include "zel_ServiceState.h"
#include "zel_StvFcgi.h"

namespace {
constexpr DWORD kPassInterval = 60000;
constexpr DWORD kFirstPassDelay = 500;
}  // namespace

ScheduledTaskList CreateScheduledTasks() {
    ScheduledTaskList tasks;
    tasks.push_back(std::make_unique<ZelSampleCleanup>());
    return tasks;
}

ScheduledTaskList (*g_pfnCreateScheduledTasks)() = CreateScheduledTasks;

unsigned __stdcall ScheduledTaskThread(void* /*argument*/) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", L"ScheduledTaskThread");
    ScheduledTaskList tasks = g_pfnCreateScheduledTasks();
    Sleep(kFirstPassDelay);
    for (;;) {
        for (auto& task : tasks) runIfDue(task.get());
        // Ends on the signal and also when the wait itself fails.
        if (WaitForSingleObject(g_terminateEvent, kPassInterval) != WAIT_TIMEOUT) break;
    }
    for (auto& task : tasks) task.reset();
    DebugTraceW('D', TRACE_SRC_W, L"%s - <<<", L"ScheduledTaskThread");
    return 0;
}
