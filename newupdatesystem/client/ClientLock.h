// Holds a critical section for one scope, leaving it also when an exception
// passes through.
#pragma once

#include "newupdatesystem/Common/BasicThread.h"

class CLocked
{
public:
    explicit CLocked(CCritSection& section) : hold((section.enter(), section)) {}

private:
    CCritLock hold;
};
