// Test double of the sibling stop library "Quorlin.dll".
#include "TestDoubleRecord.h"

extern "C" __declspec(dllexport) int Quorlin_Halt(DWORD value) {
    SCTEST::Record("Quorlin_Halt %lu", value);
    SCTEST::SignalHalt();
    return 0;
}
