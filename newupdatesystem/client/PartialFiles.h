// What a large streamed download leaves beside its target for a later try:
// the verified bytes and the record of what they are part of. Both names end
// in ".log", which scans of the installation pass over, so nothing but the
// update itself ever removes them.
#pragma once

#include <cstdint>

// Files from this size on are resumed where an earlier try stopped.
inline constexpr uint64_t kResumableSize = uint64_t(4) << 20;
inline constexpr char kPartialSuffix[] = ".partial.log";
inline constexpr char kResumeSuffix[] = ".resume.log";
