// Times the core's dispatched SIMD kernels against the scalar code that ships as the
// fallback, one thread, and prints one JSON object on stdout (bench.py reads it).
//
//   mivo_core_bench [--quick]
//
// Rows:
//   rotate              d = 768, 1536: Kernels::kBest, Kernels::kScalar (the panel-order
//                       scalar loop) and rotate_reference (the plain row loop over the
//                       row-major matrix); ns per call, a fresh query each call.
//   generation          d = 768, 1536: Rotation::generate with kBest and kScalar, and
//                       the d*d next_gaussian draws alone, which both paths pay in full.
//   hamming             N codes of 16 and 128 bytes (row-major): dispatched against
//                       Kernels::kScalar; ns per code.
//   asymmetric_l2       N codes at d = 128 and 768 (row-major): the same.
//   hamming_targets     the dense Hamming batch of 16- and 128-byte codes on every
//                       SIMD target this CPU runs, next to a plain streaming read of
//                       the same bytes on the same target (read_floor.h), timed
//                       alternately, and the same codes as a list of spans; ns per
//                       code.
//   batch_estimate      d = 768, 4 bits, N records (random codes and factors):
//                       approximate_l2_sqr_batch with kBest and kScalar, and the
//                       per-record approximate_l2_sqr loop over 10,000 of them; ns per
//                       record.
//   batch_quantize      d = 768 at 4 and 1 bits, 10,000 vectors (2,000 with --quick):
//                       quantize_batch against the per-record quantize loop, the
//                       rotation alone (the per-record Rotation::rotate), and the d*d
//                       separate multiply-add pairs of a rotation at the core's peak
//                       vector throughput, in registers (mul_add_floor.h); ns per vector.
//   int_scan_targets    d = 768, N records of random codes, query_bits 4, 6, 8, on every
//                       SIMD target this CPU runs: the sign-bit products P1 (table
//                       lookups over the interleaved sign bits), the whole first stage
//                       (P1 and the one-bit lower bounds), and the 4-bit extended-code
//                       kernel (E); ns per record.
//   int_estimate        d = 768, 4 bits, query_bits 6: integer_estimates (estimates and
//                       bounds) with kBest and kScalar; ns per record.
//   int_search          d = 768, 4 bits, clustered synthetic data (N / 5 records, 20
//                       queries, k = 10), without and with re-ranking: search_batch
//                       (float) against integer_search_batch at query_bits 4, 6, 8;
//                       ns per record and query, the share of records fully scored,
//                       and the queries whose result differs from scoring every record.
// Every timing is the best of several repeats (std::chrono::steady_clock). Results
// feed a checksum that is printed, and each SIMD result is compared bit for bit with
// its scalar counterpart ("identical").
#include <hwy/targets.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "bit_codes.h"
#include "bit_codes_simd.h"
#include "int_scan.h"
#include "int_scan_simd.h"
#include "mul_add_floor.h"
#include "rabitq_batch.h"
#include "read_floor.h"
#include "rotation.h"
#include "search.h"
#include "sums.h"

namespace {

using mivo::Kernels;
using mivo::Rotation;

volatile double g_sink = 0.0;

template <class F>
double best_ns(int repeats, F&& fn) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
  }
  return best;
}

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

std::vector<float> gaussians(uint64_t n, uint64_t seed) {
  std::vector<float> v(n);
  uint64_t state = seed;
  for (auto& x : v) x = mivo::next_gaussian(state);
  return v;
}

std::vector<uint8_t> random_bytes(uint64_t n, uint64_t seed) {
  std::vector<uint8_t> v(n);
  uint64_t state = seed;
  for (uint64_t i = 0; i < n; i += 8) {
    state = mivo::hash_u64(state);
    for (uint64_t b = 0; b < 8 && i + b < n; ++b) v[i + b] = static_cast<uint8_t>(state >> (8 * b));
  }
  return v;
}

// Output is assembled as text: one JSON object, keys in a fixed order.
struct Json {
  std::string text;
  bool first = true;

  void key(const char* k) {
    text += first ? "" : ", ";
    first = false;
    text += '"';
    text += k;
    text += "\": ";
  }
  void num(const char* k, double v) {
    key(k);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    text += buf;
  }
  void str(const char* k, const std::string& v) {
    key(k);
    text += '"' + v + '"';
  }
  void boolean(const char* k, bool v) {
    key(k);
    text += v ? "true" : "false";
  }
  void open(const char* k, char bracket) {
    if (k)
      key(k);
    else {
      text += first ? "" : ", ";
    }
    text += bracket;
    first = true;
  }
  void close(char bracket) {
    text += bracket;
    first = false;
  }
};

void rotate_row(Json& js, uint64_t d, int calls, int repeats) {
  const Rotation r = Rotation::generate(d, 3);
  const std::vector<float> rows = r.row_major();
  const std::vector<float> queries = gaussians(d * calls, d + 17);
  std::vector<float> y(d);

  auto run = [&](auto&& one) {
    return best_ns(repeats,
                   [&] {
                     double s = 0.0;
                     for (int c = 0; c < calls; ++c) {
                       one(&queries[c * d], y.data());
                       s += y[c % d];
                     }
                     g_sink = g_sink + s;
                   }) /
           calls;
  };
  const double best = run([&](const float* x, float* out) { r.rotate(x, out); });
  const double scalar =
      run([&](const float* x, float* out) { r.rotate(x, out, Kernels::kScalar); });
  const double loop =
      run([&](const float* x, float* out) { mivo::rotate_reference(rows, d, x, out); });

  std::vector<float> a(d), b(d), c(d);
  bool identical = true;
  for (int q = 0; q < std::min(calls, 8); ++q) {
    r.rotate(&queries[q * d], a.data());
    r.rotate(&queries[q * d], b.data(), Kernels::kScalar);
    mivo::rotate_reference(rows, d, &queries[q * d], c.data());
    identical = identical && same_bits(a, b) && same_bits(a, c);
  }

  js.open(nullptr, '{');
  js.num("d", static_cast<double>(d));
  js.num("best_ns", best);
  js.num("scalar_ns", scalar);
  js.num("row_loop_ns", loop);
  js.num("best_vs_scalar", scalar / best);
  js.num("best_vs_row_loop", loop / best);
  js.boolean("identical", identical);
  js.close('}');
}

void generation_row(Json& js, uint64_t d, int repeats) {
  const uint64_t seed = 11;
  auto run = [&](Kernels k) {
    return best_ns(repeats, [&] {
      const Rotation r = Rotation::generate(d, seed, k);
      g_sink = g_sink + r.at(d - 1, d / 2) + r.at(0, 0);
    });
  };
  const double best = run(Kernels::kBest);
  const double scalar = run(Kernels::kScalar);
  const double draws = best_ns(repeats, [&] {
    uint64_t state = seed;
    float s = 0.0f;
    for (uint64_t i = 0; i < d * d; ++i) s += mivo::next_gaussian(state);
    g_sink = g_sink + s;
  });
  const bool identical = same_bits(Rotation::generate(d, seed).row_major(),
                                   Rotation::generate(d, seed, Kernels::kScalar).row_major());

  js.open(nullptr, '{');
  js.num("d", static_cast<double>(d));
  js.num("best_ns", best);
  js.num("scalar_ns", scalar);
  js.num("draws_ns", draws);
  js.num("ns_per_draw", draws / static_cast<double>(d * d));
  js.num("best_vs_scalar", scalar / best);
  // The most any generation could gain over kScalar while the draws stay scalar.
  js.num("floor_ratio", scalar / draws);
  js.boolean("identical", identical);
  js.close('}');
}

template <class Out, class Best, class Scalar>
void batch_row(Json& js, const char* key, uint64_t size, size_t n, int repeats, Best&& best_fn,
               Scalar&& scalar_fn) {
  std::vector<Out> a(n), b(n);
  const double best = best_ns(repeats, [&] {
    best_fn(a.data());
    g_sink = g_sink + static_cast<double>(a[n / 2]);
  });
  const double scalar = best_ns(std::max(2, repeats / 4), [&] {
    scalar_fn(b.data());
    g_sink = g_sink + static_cast<double>(b[n / 3]);
  });
  js.open(nullptr, '{');
  js.num(key, static_cast<double>(size));
  js.num("n", static_cast<double>(n));
  js.num("best_ns_per_code", best / n);
  js.num("scalar_ns_per_code", scalar / n);
  js.num("best_vs_scalar", scalar / best);
  js.boolean("identical", same_bits(a, b));
  js.close('}');
}

// The dense Hamming batch against the read floor on every target: each repeat times
// one batch and one read of the same codes, so both see the same machine and caches.
void hamming_target_rows(Json& js, size_t n, int repeats) {
  for (uint64_t width : {16, 128}) {
    const std::vector<uint8_t> codes = random_bytes(n * width, width);
    const std::vector<uint8_t> query = random_bytes(width, width + 1);
    const mivo::CodeBatch batch(codes.data(), n, width);
    std::vector<std::span<const uint8_t>> spans;
    for (size_t j = 0; j < n; ++j) spans.push_back(batch[j]);
    const mivo::CodeBatch listed{std::span<const std::span<const uint8_t>>(spans)};
    std::vector<uint32_t> out(n);
    for (const int64_t target : hwy::SupportedAndGeneratedTargets()) {
      hwy::SetSupportedTargetsForTest(target);
      double kernel = 1e300, read = 1e300, list = 1e300;
      for (int r = 0; r < repeats; ++r) {
        kernel = std::min(kernel, best_ns(1, [&] {
                            mivo::batch_hamming_distances(query, batch, out.data());
                            g_sink = g_sink + out[n / 2];
                          }));
        list = std::min(list, best_ns(1, [&] {
                          mivo::batch_hamming_distances(query, listed, out.data());
                          g_sink = g_sink + out[n / 3];
                        }));
        read = std::min(read, best_ns(1, [&] {
                          const uint64_t sum = mivo::bench::read_words(codes.data(), codes.size());
                          g_sink = g_sink + static_cast<double>(sum);
                        }));
      }
      js.open(nullptr, '{');
      js.str("target", hwy::TargetName(target));
      js.num("bytes", static_cast<double>(width));
      js.num("n", static_cast<double>(n));
      js.num("ns_per_code", kernel / n);
      js.num("read_ns_per_code", read / n);
      js.num("vs_read", kernel / read);
      js.num("list_ns_per_code", list / n);
      js.close('}');
    }
    hwy::SetSupportedTargetsForTest(0);
  }
}

// Owned columns of n records.
struct Columns {
  std::vector<uint8_t> bin, ext;
  std::vector<float> factors;
  mivo::MutableRecordColumns cols;

  Columns(uint64_t d, unsigned ex_bits, uint64_t n)
      : bin(n * mivo::binary_code_bytes(d)),
        ext(n * mivo::extended_code_bytes(d, ex_bits)),
        factors(n * mivo::kFactorCount),
        cols{d, ex_bits, n, bin.data(), ext.data(), factors.data()} {}
};

void batch_estimate_row(Json& js, uint64_t d, unsigned total_bits, uint64_t n, int repeats) {
  const mivo::RaBitQQuantizer q(d, 7, total_bits);
  Columns c(d, total_bits - 1, n);
  c.bin = random_bytes(c.bin.size(), 1);
  c.ext = random_bytes(c.ext.size(), 2);
  c.factors = gaussians(c.factors.size(), 3);
  c.cols.binary_codes = c.bin.data();
  c.cols.extended_codes = c.ext.data();
  c.cols.factors = c.factors.data();
  const mivo::RecordColumns batch = c.cols.view();
  const std::vector<float> query = gaussians(d, 4);
  std::vector<float> a(n), b(n);
  auto run = [&](Kernels k, std::vector<float>& out, int reps) {
    return best_ns(reps,
                   [&] {
                     mivo::approximate_l2_sqr_batch(q, query, batch, out, k);
                     g_sink = g_sink + out[n / 2];
                   }) /
           static_cast<double>(n);
  };
  const double best = run(Kernels::kBest, a, repeats);
  const double scalar = run(Kernels::kScalar, b, std::max(2, repeats / 2));
  const uint64_t loop_n = std::min<uint64_t>(n, 10000);
  std::vector<mivo::QuantizedVector> records;
  for (uint64_t i = 0; i < loop_n; ++i) records.push_back(mivo::record_at(batch, i));
  std::vector<float> l(loop_n);
  const double loop = best_ns(std::max(2, repeats / 2),
                              [&] {
                                for (uint64_t i = 0; i < loop_n; ++i) {
                                  l[i] = q.approximate_l2_sqr(query, records[i]);
                                }
                                g_sink = g_sink + l[loop_n / 2];
                              }) /
                      static_cast<double>(loop_n);
  const bool identical = same_bits(a, b) && std::memcmp(a.data(), l.data(), loop_n * 4) == 0;

  js.open(nullptr, '{');
  js.num("d", static_cast<double>(d));
  js.num("bits", total_bits);
  js.num("n", static_cast<double>(n));
  js.num("best_ns_per_record", best);
  js.num("scalar_ns_per_record", scalar);
  js.num("loop_ns_per_record", loop);
  js.num("best_vs_loop", loop / best);
  js.num("best_vs_scalar", scalar / best);
  js.boolean("identical", identical);
  js.close('}');
}

// Random records of d dimensions and total_bits bits, and a query for them.
struct RandomBatch {
  mivo::RaBitQQuantizer q;
  Columns c;
  std::vector<float> query;
  RandomBatch(uint64_t d, unsigned total_bits, uint64_t n)
      : q(d, 7, total_bits), c(d, total_bits - 1, n), query(gaussians(d, 4)) {
    c.bin = random_bytes(c.bin.size(), 1);
    c.ext = random_bytes(c.ext.size(), 2);
    c.factors = gaussians(c.factors.size(), 3);
    c.cols.binary_codes = c.bin.data();
    c.cols.extended_codes = c.ext.data();
    c.cols.factors = c.factors.data();
  }
};

void int_scan_target_rows(Json& js, uint64_t n, int repeats) {
  const uint64_t d = 768;
  const RandomBatch rb(d, 4, n);
  const mivo::RecordColumns batch = rb.c.cols.view();
  const mivo::ScanRecords kept = mivo::scan_records(batch);
  std::vector<int64_t> out(n);
  std::vector<float> lower(n);
  std::vector<uint64_t> rows(n);
  for (uint64_t i = 0; i < n; ++i) rows[i] = i;
  for (unsigned qb : {4u, 6u, 8u}) {
    const mivo::IntQuery iq = mivo::quantize_query(rb.q, rb.query, qb);
    for (const int64_t target : hwy::SupportedAndGeneratedTargets()) {
      hwy::SetSupportedTargetsForTest(target);
      const double lookups = best_ns(repeats, [&] {
        mivo::int_scan_simd::one_bit_stage(iq, kept, 0, n, out.data(), mivo::StageValue::kNone,
                                           nullptr, nullptr);
        g_sink = g_sink + static_cast<double>(out[n / 2]);
      });
      const double stage = best_ns(repeats, [&] {
        mivo::int_scan_simd::one_bit_stage(iq, kept, 0, n, out.data(),
                                           mivo::StageValue::kOneBitLower, lower.data(), nullptr);
        g_sink = g_sink + static_cast<double>(out[n / 2]) + (lower[n / 2] > 0.0f ? 1.0 : 0.0);
      });
      const double e = best_ns(repeats, [&] {
        mivo::int_scan_simd::extended_products(iq, batch, rows.data(), n, out.data());
        g_sink = g_sink + static_cast<double>(out[n / 3]);
      });
      js.open(nullptr, '{');
      js.str("target", hwy::TargetName(target));
      js.num("query_bits", qb);
      js.num("n", static_cast<double>(n));
      js.num("lookup_ns_per_record", lookups / static_cast<double>(n));
      js.num("first_stage_ns_per_record", stage / static_cast<double>(n));
      js.num("extended_ns_per_record", e / static_cast<double>(n));
      js.close('}');
    }
    hwy::SetSupportedTargetsForTest(0);
  }
}

void int_estimate_row(Json& js, uint64_t n, int repeats) {
  const RandomBatch rb(768, 4, n);
  const mivo::RecordColumns batch = rb.c.cols.view();
  const mivo::ScanRecords sums = mivo::scan_records(batch);
  std::vector<float> a(n), b(n), lo(n), hi(n);
  mivo::Pacer pacer;
  auto run = [&](Kernels k, std::vector<float>& out, int reps) {
    return best_ns(reps,
                   [&] {
                     mivo::integer_estimates(rb.q, rb.query, 6, batch, sums, out, lo, hi, pacer, k);
                     g_sink = g_sink + out[n / 2];
                   }) /
           static_cast<double>(n);
  };
  const double best = run(Kernels::kBest, a, repeats);
  const double scalar = run(Kernels::kScalar, b, std::max(2, repeats / 2));
  js.open(nullptr, '{');
  js.num("d", 768);
  js.num("bits", 4);
  js.num("query_bits", 6);
  js.num("n", static_cast<double>(n));
  js.num("best_ns_per_record", best);
  js.num("scalar_ns_per_record", scalar);
  js.num("best_vs_scalar", scalar / best);
  js.boolean("identical", same_bits(a, b));
  js.close('}');
}

// Points around `clusters` random centres (unit Gaussians scaled by 3), each a centre
// plus unit Gaussian noise.
std::vector<float> clustered(uint64_t n, uint64_t d, uint64_t clusters, uint64_t seed) {
  const std::vector<float> centres = gaussians(clusters * d, seed);
  std::vector<float> x = gaussians(n * d, seed + 1);
  for (uint64_t i = 0; i < n; ++i) {
    const float* c = &centres[(mivo::hash_u64(i + seed) % clusters) * d];
    for (uint64_t j = 0; j < d; ++j) x[i * d + j] = x[i * d + j] + 3.0f * c[j];
  }
  return x;
}

void int_search_rows(Json& js, uint64_t n, int repeats) {
  const uint64_t d = 768, m = 20, k = 10;
  mivo::RaBitQQuantizer q(d, 7, 4);
  // Records and queries around the same centres: the queries are the last m points.
  std::vector<float> x = clustered(n + m, d, 50, 11);
  const std::vector<float> queries(x.begin() + static_cast<std::ptrdiff_t>(n * d), x.end());
  x.resize(n * d);
  q.fit(x, n);
  Columns c(d, 3, n);
  mivo::quantize_batch(q, x.data(), c.cols);
  const mivo::RecordColumns batch = c.cols.view();
  const mivo::ScanRecords sums = mivo::scan_records(batch);
  std::vector<float> dist(m * k), est(n), lo(n), hi(n);
  std::vector<int64_t> ids(m * k);
  std::vector<uint64_t> cand(m);
  mivo::Pacer pacer;
  const float* const data = x.data();
  for (const float* vectors : {static_cast<const float*>(nullptr), data}) {
    const mivo::SearchOutput out{dist.data(), ids.data(), vectors ? cand.data() : nullptr};
    const double per = static_cast<double>(n * m);
    const double flt = best_ns(repeats,
                               [&] {
                                 mivo::search_batch(q, queries, m, batch, k, vectors, out, pacer);
                                 g_sink = g_sink + dist[0];
                               }) /
                       per;
    for (unsigned qb : {4u, 6u, 8u}) {
      mivo::IntSearchStats stats;
      const double t =
          best_ns(repeats,
                  [&] {
                    stats = {};
                    mivo::integer_search_batch(q, queries, m, batch, sums, qb, k, vectors, out,
                                               pacer, Kernels::kBest, &stats);
                    g_sink = g_sink + dist[0];
                  }) /
          per;
      // Scoring every record: the same selection over integer_estimates.
      uint64_t differ = 0;
      for (uint64_t r = 0; r < m; ++r) {
        const std::span<const float> query(&queries[r * d], d);
        mivo::integer_estimates(q, query, qb, batch, sums, est, lo, hi, pacer);
        mivo::TopK upper, result;
        upper.reset(k);
        result.reset(k);
        for (uint64_t i = 0; i < n; ++i) upper.offer(hi[i], static_cast<int64_t>(i));
        const float limit = upper.worst().value;
        for (uint64_t i = 0; i < n; ++i) {
          if (vectors == nullptr) {
            result.offer(est[i], static_cast<int64_t>(i));
          } else if (lo[i] <= limit) {
            const std::span<const float> v(vectors + i * d, d);
            result.offer(mivo::squared_distance(v, query, -0.0f), static_cast<int64_t>(i));
          }
        }
        const std::span<const mivo::Ranked> want = result.take_sorted();
        for (uint64_t j = 0; j < k; ++j) {
          if (want[j].id != ids[r * k + j]) {
            ++differ;
            break;
          }
        }
      }
      js.open(nullptr, '{');
      js.num("d", static_cast<double>(d));
      js.num("bits", 4);
      js.num("n", static_cast<double>(n));
      js.boolean("rerank", vectors != nullptr);
      js.num("query_bits", qb);
      js.num("float_ns_per_record", flt);
      js.num("int_ns_per_record", t);
      js.num("int_vs_float", flt / t);
      js.num("scored_share",
             static_cast<double>(stats.scored) / static_cast<double>(stats.records));
      js.num("queries_differing", static_cast<double>(differ));
      js.close('}');
    }
  }
}

void batch_quantize_row(Json& js, uint64_t d, unsigned total_bits, uint64_t n, int repeats) {
  mivo::RaBitQQuantizer q(d, 7, total_bits);
  const std::vector<float> x = gaussians(n * d, 5);
  q.fit(x, n);
  Columns c(d, total_bits - 1, n);
  const double batch = best_ns(repeats,
                               [&] {
                                 mivo::quantize_batch(q, x.data(), c.cols);
                                 g_sink = g_sink + c.factors[n];
                               }) /
                       static_cast<double>(n);
  Columns l(d, total_bits - 1, n);
  const double loop =
      best_ns(repeats,
              [&] {
                for (uint64_t i = 0; i < n; ++i) {
                  mivo::store_record(q.quantize(std::span<const float>(&x[i * d], d)), l.cols, i);
                }
                g_sink = g_sink + l.factors[n];
              }) /
      static_cast<double>(n);
  std::vector<float> y(d);
  const double rotate = best_ns(repeats,
                                [&] {
                                  for (uint64_t i = 0; i < n; ++i)
                                    q.rotation().rotate(&x[i * d], y.data());
                                  g_sink = g_sink + y[0];
                                }) /
                        static_cast<double>(n);
  // The rotation's d*d multiply-add pairs per vector alone, at the core's peak vector
  // throughput (registers only): no quantization without fused operations is faster.
  const uint64_t floor_vectors = 64;
  const uint64_t steps = d * d * floor_vectors / mivo::bench::mul_add_pairs_per_step();
  const double mul_add =
      best_ns(repeats, [&] { g_sink = g_sink + mivo::bench::mul_add_chains(steps, 1.0f, 0.0f); }) /
      static_cast<double>(floor_vectors);
  const bool identical =
      same_bits(c.bin, l.bin) && same_bits(c.ext, l.ext) && same_bits(c.factors, l.factors);

  js.open(nullptr, '{');
  js.num("d", static_cast<double>(d));
  js.num("bits", total_bits);
  js.num("n", static_cast<double>(n));
  js.num("batch_ns_per_vector", batch);
  js.num("loop_ns_per_vector", loop);
  js.num("rotate_ns_per_vector", rotate);
  js.num("mul_add_floor_ns_per_vector", mul_add);
  js.num("batch_vs_loop", loop / batch);
  js.boolean("identical", identical);
  js.close('}');
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const size_t n = quick ? 20000 : 100000;
  // --only-batch: the batch rows alone (for quick measurements of the batch kernels).
  const bool only_batch = argc > 1 && std::strcmp(argv[argc - 1], "--only-batch") == 0;
  // --only-int: the integer scan's rows alone.
  const bool only_int = argc > 1 && std::strcmp(argv[argc - 1], "--only-int") == 0;
  const auto start = std::chrono::steady_clock::now();

  Json js;
  js.open(nullptr, '{');
  js.str("target", mivo::bit_codes_simd::target_name());
  js.open("compiled_targets", '[');
  for (int64_t t : hwy::SupportedAndGeneratedTargets()) {
    js.text += js.first ? "" : ", ";
    js.first = false;
    js.text += std::string("\"") + hwy::TargetName(t) + "\"";
  }
  js.close(']');
  js.boolean("quick", quick);

  if (!only_batch) {
    js.open("int_scan_targets", '[');
    int_scan_target_rows(js, n, quick ? 5 : 10);
    js.close(']');

    js.open("int_estimate", '[');
    int_estimate_row(js, n, quick ? 3 : 5);
    js.close(']');

    js.open("int_search", '[');
    int_search_rows(js, n / 5, quick ? 2 : 3);
    js.close(']');
  }

  if (!only_batch && !only_int) {
    js.open("rotate", '[');
    for (uint64_t d : {768, 1536}) rotate_row(js, d, quick ? 20 : 50, quick ? 3 : 5);
    js.close(']');

    js.open("generation", '[');
    for (uint64_t d : {768, 1536}) generation_row(js, d, quick ? 2 : (d > 1000 ? 3 : 5));
    js.close(']');

    js.open("hamming", '[');
    for (uint64_t width : {16, 128}) {
      const std::vector<uint8_t> codes = random_bytes(n * width, width);
      const std::vector<uint8_t> query = random_bytes(width, width + 1);
      const mivo::CodeBatch batch(codes.data(), n, width);
      batch_row<uint32_t>(
          js, "bytes", width, n, quick ? 8 : 20,
          [&](uint32_t* out) { mivo::batch_hamming_distances(query, batch, out); },
          [&](uint32_t* out) {
            mivo::batch_hamming_distances(query, batch, out, Kernels::kScalar);
          });
    }
    js.close(']');

    js.open("hamming_targets", '[');
    hamming_target_rows(js, n, quick ? 8 : 20);
    js.close(']');

    js.open("asymmetric_l2", '[');
    for (uint64_t d : {128, 768}) {
      const uint64_t width = mivo::packed_size(d);
      const std::vector<uint8_t> codes = random_bytes(n * width, d);
      const std::vector<float> query = gaussians(d, d + 5);
      const mivo::CodeBatch batch(codes.data(), n, width);
      batch_row<float>(
          js, "d", d, n, quick ? 8 : 20,
          [&](float* out) { mivo::batch_asymmetric_l2(query, batch, out); },
          [&](float* out) { mivo::batch_asymmetric_l2(query, batch, out, Kernels::kScalar); });
    }
    js.close(']');
  }

  if (!only_int) {
    js.open("batch_estimate", '[');
    batch_estimate_row(js, 768, 4, n, quick ? 3 : 5);
    js.close(']');

    js.open("batch_quantize", '[');
    for (unsigned bits : {4u, 1u})
      batch_quantize_row(js, 768, bits, quick ? 2000 : 10000, quick ? 2 : 3);
    js.close(']');
  }

  js.num("checksum", g_sink);
  js.num("seconds",
         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  js.close('}');
  std::printf("%s\n", js.text.c_str());
  return 0;
}
