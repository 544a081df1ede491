// Holds a critical section for one scope, leaving it also when an exception
// passes through.
#pragma once

#include "newupdatesystem/Common/BasicThread.h"

class CLocked
{
public:
    explicit CLocked(CCritSection& section) : m_hold((section.enter(), section)) {}

private:
    CCritLock m_hold;
};
