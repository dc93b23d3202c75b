// The version of the modules mivo and mivo_batch, which are built and shipped together.
#pragma once

namespace mivo::py {

inline constexpr char kVersion[] = "0.1.3";

}  // namespace mivo::py
