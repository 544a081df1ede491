// IniReader on arbitrary text (legacy bytes converted as from a file): every
// name and value it hands out stays within its limits.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/IniReader.h"
#include "platform/TextEncoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const platform::IniReader ini(
        platform::toUtf8FromLegacy(std::string_view(reinterpret_cast<const char*>(data), size)));
    for (const std::string& section : ini.getSectionNames())
        for (const std::string& key : ini.getKeyNames(section))
        {
            if (ini.getString(section, key, "").size() > platform::IniReader::MaxValueLength)
                __builtin_trap();
            ini.getInt(section, key, 0);
        }
    return 0;
}
