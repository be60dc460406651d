// Test double of the sibling stop library "Wextrom.dll", which the service
// control library loads only when it is signed by the product's issuer.
#include "TestDoubleRecord.h"

extern "C" __declspec(dllexport) int WextromHalt() {
    SCTEST::Record("WextromHalt");
    SCTEST::SignalHalt();
    return 0;
}
