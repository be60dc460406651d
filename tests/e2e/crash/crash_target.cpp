// Sets up the crash-dump helper as the service's entry point does, then dies
// the way its argument says: "null" writes through a null pointer, "purecall"
// calls a pure virtual function, "twice" lets the filter write a dump first
// and then crashes for real.
#include <windows.h>

#include <cstring>

#include "crash_purecall.h"
#include "eh_exceptionhelper.h"

namespace {

void WriteThroughNull() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

void RunFilterWithoutCrash() {
    CONTEXT context = {};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = EXCEPTION_BREAKPOINT;
    EXCEPTION_POINTERS pointers = {&record, &context};
    MyUnhandledExceptionHandler(&pointers);
}

}  // namespace

int main(int argc, char* argv[]) {
    CExceptionHelper exceptionHelper(true, MyUnhandledExceptionHandler);
    const char* mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "purecall") == 0) {
        CDerived derived;
    } else if (strcmp(mode, "twice") == 0) {
        RunFilterWithoutCrash();
        ::Sleep(1100);  // a second dump would get a name of its own
        WriteThroughNull();
    } else {
        WriteThroughNull();
    }
    return 0;
}
