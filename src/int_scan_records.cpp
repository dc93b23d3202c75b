// What an integer scan keeps about a batch (ScanRecords, see int_scan.h): the records'
// sums, the half-widths' terms as columns and the sign bits interleaved in blocks.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "error.h"
#include "int_scan.h"

namespace mivo {

// integer_bounds' docstring and the README state the size of a record's share: its
// sums, six float and two int32 columns and, in the blocks, scan_groups / 2 bytes (its d
// sign bits with d rounded up to a multiple of 16): 80 + that.
static_assert(sizeof(CodeSums) + 6 * sizeof(float) + 2 * sizeof(int32_t) == 80);

ScanRecords allocate_scan_records(uint64_t dimension, uint64_t count) {
  const uint64_t blocks = count / kScanBlockRecords + (count % kScanBlockRecords != 0);
  const uint64_t rows = blocks * kScanBlockRecords;
  ScanRecords r;
  r.dimension = dimension;
  r.count = count;
  require_allocatable(count, sizeof(CodeSums));
  require_allocatable(rows, 6 * sizeof(float) + 2 * sizeof(int32_t));
  require_allocatable(blocks, r.block_bytes());
  r.sums.resize(count);
  // Rows past count bound nothing: NaN in place of f_error gives them -inf.
  r.f_error.assign(rows, std::numeric_limits<float>::quiet_NaN());
  for (auto* column : {&r.f_add, &r.f_rescale, &r.t1, &r.quant, &r.a2}) {
    column->assign(rows, 0.0f);
  }
  r.top.assign(rows, 0);
  r.rest.assign(rows, 0);
  r.blocked_signs.assign(blocks * r.block_bytes(), 0);
  return r;
}

void fill_scan_records(const RecordColumns& part, uint64_t begin, ScanRecords& out) {
  const uint64_t d = out.dimension;
  if (part.dimension != d || begin > out.count || part.count > out.count - begin) {
    MIVO_FAIL(kBatchOutputMisSized);
  }
  code_sums(part, std::span<CodeSums>(out.sums).subspan(begin, part.count));
  const uint64_t nb = binary_code_bytes(d);
  const uint64_t groups = (d + 3) / 4;
  for (uint64_t j = 0; j < part.count; ++j) {
    const uint64_t i = begin + j;
    const CodeSums& s = out.sums[i];
    const float* f = part.factors + j * kFactorCount;
    out.f_add[i] = f[kFAdd];
    out.f_rescale[i] = f[kFRescale];
    out.f_error[i] = s.bounded ? f[kFError] : std::numeric_limits<float>::quiet_NaN();
    out.t1[i] = s.t1;
    out.quant[i] = s.quant;
    out.a2[i] = static_cast<float>(s.a2);
    out.top[i] = static_cast<int32_t>(s.top);
    out.rest[i] = s.rest;

    // Group g's 4 bits are nibble g % 2 of the row's byte g / 2 (bits LSB first); the
    // bits past d in the last byte are cleared, as the scan ignores them.
    const uint8_t* row = part.binary_codes + j * nb;
    uint8_t* block = out.blocked_signs.data() + (i / kScanBlockRecords) * out.block_bytes();
    const uint64_t slot = i % kScanBlockRecords;
    const unsigned shift = slot < 16 ? 0 : 4;
    for (uint64_t g = 0; g < groups; ++g) {
      unsigned nibble = (row[g / 2] >> (4 * (g % 2))) & 0xF;
      const uint64_t used = std::min<uint64_t>(4, d - 4 * g);
      nibble &= (1u << used) - 1;
      uint8_t& byte = block[g * 16 + slot % 16];
      byte = static_cast<uint8_t>((byte & ~(0xFu << shift)) | (nibble << shift));
    }
  }
}

ScanRecords scan_records(const RecordColumns& batch) {
  ScanRecords r = allocate_scan_records(batch.dimension, batch.count);
  fill_scan_records(batch, 0, r);
  return r;
}

}  // namespace mivo
