// CDataFile::unpackFrom on arbitrary bytes: may refuse, never crash or overrun.
#include <cstddef>
#include <cstdint>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/Excep.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CDataFile file;
    try
    {
        file.unpackFrom(data, uint32_t(size));
        if (file.size() > CDataFile::MAX_SIZE)
            __builtin_trap();
    }
    catch (const CSystemExcep&)
    {
    }
    return 0;
}
