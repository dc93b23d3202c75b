// The product-table kernel of the batch estimates (rabitq_table_simd.cpp), dispatched
// at run time. Where it runs (x86 targets with byte permutes, codes of at most 4 bits)
// it replaces the kernels of rabitq_batch_simd.cpp, with the same bits.
#pragma once

#include <cstddef>

#include "rabitq_batch.h"

namespace mivo::rabitq_table_simd {

// rabitq_batch_simd::inner_products (same arguments, y padded the same way) when this
// CPU's target has the kernel and batch.ex_bits fits it: true, ip filled. Otherwise
// false, and ip is untouched.
bool inner_products(const float* y, float centre, const RecordColumns& batch, float* ip);

// The records one pass of the kernel takes for ex_bits on this CPU, or 0 where
// inner_products returns false for them.
size_t pass_records(unsigned ex_bits);

// The Highway target the kernel dispatches to on this CPU.
const char* target_name();

}  // namespace mivo::rabitq_table_simd
