// An in-process observer of the trace: a tool that calls the product's code
// (the signature checker) reads that code's own trace lines without hosting
// the log server's pipe, so a log server running beside it keeps every
// record it would have had. The observer sees every line a trace call
// composes, whatever the shared level word says: the level gate still
// decides alone what goes to the log server.
#pragma once

class ITraceObserver {
public:
    // `text` is the caller's formatted text, without the "[tag][exe]" head.
    virtual void OnTraceLine(int level, const wchar_t* text) = 0;

protected:
    ~ITraceObserver() = default;
};

// Installs an observer for its own scope. One observer at a time; trace
// calls of other threads may still reach it while the scope ends, so the
// observer must outlive the scope and guard itself.
class CScopedTraceObserver {
public:
    explicit CScopedTraceObserver(ITraceObserver& observer);
    ~CScopedTraceObserver();
    CScopedTraceObserver(const CScopedTraceObserver&) = delete;
    CScopedTraceObserver& operator=(const CScopedTraceObserver&) = delete;

private:
    ITraceObserver* m_pPrevious;
};

// The observer in force, or null (used by the trace calls).
ITraceObserver* CurrentTraceObserver();
