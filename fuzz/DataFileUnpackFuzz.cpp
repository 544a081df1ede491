// CDataFile::unpackFrom on arbitrary bytes: may refuse, never crash or overrun;
// what it accepts packs and unpacks again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/Excep.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CDataFile file;
    try
    {
        file.unpackFrom(data, uint32_t(size));
    }
    catch (const CSystemExcep&)
    {
        return 0;
    }
    if (file.size() > CDataFile::MAX_SIZE)
        __builtin_trap();
    CDataFile packed;
    CDataFile again;
    packed.packFrom(file);
    again.unpackFrom(packed.data(), packed.size());
    if (again.size() != file.size() ||
        (file.size() && std::memcmp(again.data(), file.data(), file.size()) != 0))
        __builtin_trap();
    return 0;
}
