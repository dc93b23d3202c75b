// The build stamp each module carries in an ELF note: the same for mivo and mivo_batch
// of one build, different for another compiler, standard library, flags or sources.
#pragma once

#include <cstdint>
#include <string_view>

namespace mivo::py {

// The note's owner and type. The owner name scopes the type, as every ELF note's does.
inline constexpr char kBuildStampNoteName[] = "mivo";
inline constexpr uint32_t kBuildStampNoteType = 1;

// This module's stamp (a hex digest), as its note holds it.
std::string_view build_stamp();

}  // namespace mivo::py
