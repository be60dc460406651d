// Test double of the sibling stop library "Pelsade.dll".
#include "TestDoubleRecord.h"

extern "C" __declspec(dllexport) int pelsadeHalt() {
    SCTEST::Record("pelsadeHalt");
    SCTEST::SignalHalt();
    return 0;
}
