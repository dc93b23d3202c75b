// The RaBitQ quantizer end to end at small dimensions and every total_bits 1..8:
// configuration refusals, centroid updates that keep state on error, record layout
// (code ranges, packed sign bits and extended-code stream, zero padding), agreement
// with the scalar rotation and quantize_rotated, repeatability, SIMD targets, and
// estimates that are never negative or NaN and do not depend on the query cache.
#include <cmath>
#include <cstring>
#include <optional>

#include "fuzz_common.h"
#include "rabitq.h"
#include "simd_ops.h"

using namespace mivo;

namespace {

bool same_record(const QuantizedVector& a, const QuantizedVector& b) {
  return a.binary_codes == b.binary_codes && a.extended_codes == b.extended_codes &&
         a.codes == b.codes && a.dimension == b.dimension && a.ex_bits == b.ex_bits &&
         fuzz::same_bits(a.delta, b.delta) && fuzz::same_bits(a.vl, b.vl) &&
         fuzz::same_bits(a.f_add, b.f_add) && fuzz::same_bits(a.f_rescale, b.f_rescale) &&
         fuzz::same_bits(a.f_error, b.f_error) &&
         fuzz::same_bits(a.residual_norm, b.residual_norm);
}

void check_layout(const QuantizedVector& rec, uint64_t d, unsigned total_bits) {
  const unsigned b = total_bits - 1;
  MIVO_CHECK(rec.dimension == d && rec.ex_bits == b && rec.codes.size() == d);
  MIVO_CHECK(rec.binary_codes.size() == packed_size(d));
  MIVO_CHECK(rec.extended_codes.size() == (b == 0 ? 0 : packed_size(d * b)));
  for (uint64_t i = 0; i < d; ++i) {
    MIVO_CHECK(rec.codes[i] < (1u << total_bits));
    MIVO_CHECK((rec.codes[i] >> b) == ((rec.binary_codes[i / 8] >> (i % 8)) & 1u));
    uint32_t ext = 0;
    for (unsigned t = 0; t < b; ++t) {
      const uint64_t p = i * b + t;
      ext |= ((rec.extended_codes[p / 8] >> (p % 8)) & 1u) << t;
    }
    MIVO_CHECK(ext == (rec.codes[i] & ((1u << b) - 1)));
  }
  if (d % 8 != 0) MIVO_CHECK((rec.binary_codes.back() >> (d % 8)) == 0);
  if (b > 0 && d * b % 8 != 0) MIVO_CHECK((rec.extended_codes.back() >> (d * b % 8)) == 0);
  MIVO_CHECK(fuzz::same_bits(rec.residual_norm, std::sqrt(rec.f_add)));
  MIVO_CHECK(rec.f_error >= 0.0f);
}

// An estimate: never negative, -0.0 or NaN, and its distance is the f32 square root.
float estimate(const RaBitQQuantizer& quantizer, std::span<const float> q,
               const QuantizedVector& rec) {
  const float l2 = quantizer.approximate_l2_sqr(q, rec);
  MIVO_CHECK(!std::signbit(l2) && !std::isnan(l2));
  MIVO_CHECK(fuzz::same_bits(quantizer.approximate_distance(q, rec), std::sqrt(l2)));
  return l2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint64_t d = in.range(0, 16);
  const uint64_t total_bits = in.range(0, 9);
  const uint64_t seed = in.u64();
  if (d == 0 || total_bits == 0 || total_bits > 8) {
    bool refused = false;
    try {
      RaBitQQuantizer quantizer(d, seed, total_bits);
    } catch (const QuantizerError& e) {
      refused = e.kind() == QuantizerError::Kind::InvalidConfig &&
                std::strcmp(e.field(), d == 0 ? "dimension" : "total_bits") == 0;
    }
    MIVO_CHECK(refused);
    return 0;
  }
  const unsigned bits = static_cast<unsigned>(total_bits);
  RaBitQQuantizer quantizer(d, seed, total_bits);

  // Centroid: none, set, or fitted; a refused update leaves the previous state.
  const uint8_t mode = in.byte();
  if (mode % 4 == 1) quantizer.set_centroid(in.values(d));
  if (mode % 4 == 2) {
    const uint64_t n = in.range(0, 4);
    if (n == 0) {  // no rows to average: refused, still no centroid
      MIVO_CHECK_REFUSES(quantizer.fit({}, 0), InvalidConfig);
      MIVO_CHECK(!quantizer.has_centroid());
    } else {
      quantizer.fit(in.values(n * d), n);
      MIVO_CHECK(quantizer.has_centroid() && quantizer.centroid().size() == d);
    }
  }
  const std::vector<float> before(quantizer.centroid().begin(), quantizer.centroid().end());
  const bool had = quantizer.has_centroid();
  if (mode & 4) {
    const std::vector<float> wrong = in.values(d + 1);
    fuzz::check_mismatch([&] { quantizer.set_centroid(wrong); }, d, d + 1);
    fuzz::check_mismatch([&] { quantizer.fit(wrong, 1); }, d, d + 1);
    MIVO_CHECK(quantizer.has_centroid() == had && fuzz::same_bits(quantizer.centroid(), before));
  }
  std::vector<float> centre(d, 0.0f);
  if (had) centre = before;

  const std::vector<float> x = in.values(d);
  const QuantizedVector rec = quantizer.quantize(x);
  check_layout(rec, d, bits);
  MIVO_CHECK(same_record(rec, quantizer.quantize(x)));

  // The same record from the scalar rotation of the residual.
  std::vector<float> r(d), s(d);
  for (uint64_t i = 0; i < d; ++i) r[i] = had ? x[i] - centre[i] : x[i];
  quantizer.rotation().rotate(r.data(), s.data(), Kernels::kScalar);
  MIVO_CHECK(same_record(rec, quantize_rotated(s, bits)));
  for (uint64_t i = 0; i < d; ++i) MIVO_CHECK((rec.codes[i] >> (bits - 1)) == (s[i] >= 0.0f));
  if (bits > 1) {
    const std::vector<uint16_t> ext = quantize_extended(s, bits - 1);
    for (uint64_t i = 0; i < d; ++i) MIVO_CHECK(ext[i] == (rec.codes[i] & ((1u << (bits - 1)) - 1)));
  }

  // A zero residual: the documented record.
  bool zero_residual = true;
  for (const float v : r) zero_residual = zero_residual && v == 0.0f;
  if (zero_residual) {
    for (const uint16_t c : rec.codes) MIVO_CHECK(c == (1u << (bits - 1)));
    MIVO_CHECK(fuzz::same_bits(rec.f_add, 0.0f) && fuzz::same_bits(rec.f_rescale, -0.0f));
    MIVO_CHECK(fuzz::same_bits(rec.f_error, 0.0f) && fuzz::same_bits(rec.delta, 0.0f));
    MIVO_CHECK(fuzz::same_bits(rec.vl, -0.0f));
  }

  // Estimates: repeated (a cache hit) and recomputed after another query, on a SIMD
  // target picked by the input, they agree bit for bit.
  const std::vector<float> q = in.values(d);
  const float l2 = estimate(quantizer, q, rec);
  MIVO_CHECK(fuzz::same_bits(l2, estimate(quantizer, q, rec)));
  {
    OnlyTarget only(fuzz::targets()[in.byte() % fuzz::targets().size()]);
    estimate(quantizer, x, rec);
    MIVO_CHECK(fuzz::same_bits(l2, estimate(quantizer, q, rec)));
    MIVO_CHECK(same_record(rec, quantizer.quantize(x)));
  }

  // The query at the centroid: nothing but f_add is left of the estimate.
  bool centre_finite = true;
  for (const float v : centre) centre_finite = centre_finite && std::isfinite(v);
  if (centre_finite && std::isfinite(rec.f_rescale)) {
    const float at_centre = estimate(quantizer, centre, rec);
    MIVO_CHECK(fuzz::same_bits(at_centre, rec.f_add > 0.0f ? rec.f_add : 0.0f));
  }

  // Wrong lengths are refused.
  const std::vector<float> longer = in.values(d + 1);
  fuzz::check_mismatch([&] { quantizer.quantize(longer); }, d, d + 1);
  fuzz::check_mismatch([&] { quantizer.approximate_l2_sqr(longer, rec); }, d, d + 1);
  QuantizedVector other = rec;
  other.dimension = d + 1;
  other.codes.push_back(0);
  fuzz::check_mismatch([&] { quantizer.approximate_l2_sqr(q, other); }, d, d + 1);
  return 0;
}
