#include "crash_purecall.h"

// During construction the slot is still the pure one.
CBase::CBase() {
    CallHookOf(this);
}

void CallHookOf(CBase* object) {
    object->Hook();
}
