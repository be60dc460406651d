// A class whose constructor calls its own pure virtual function.
#pragma once

struct CBase {
    CBase();
    virtual ~CBase() = default;
    virtual void Hook() = 0;
};

struct CDerived : CBase {
    void Hook() override {}
};

// Lives in its own source file, so that the compiler cannot see which
// object it gets and has to call through the vtable.
void CallHookOf(CBase* object);
