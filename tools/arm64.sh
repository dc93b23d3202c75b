#!/usr/bin/env bash
# The arm64 leg: the module and the C++ tests are cross-compiled in the toolchain root
# (a native compile under emulation takes many minutes), then run in the emulated arm64
# root (tools/root.sh, MIVO_ROOT=arm64), where nothing is compiled:
#  - the C++ tests of every compiled arm target against the scalar path, golden
#    digests included, at SVE vector lengths of 128, 256 and 512 bits, and 384 bits
#    (a length that is no power of two, which SVE allows); the whole C++ suite at
#    256 bits, at the others the per-target cases (named EveryTarget/..., see
#    tests/cpp/per_target.h) and the target checks. Each run checks the targets and
#    the vector length it got;
#  - pytest at 256 bits on the golden digests, the quantizer (worked examples
#    included), the ternary codes, the kernels' fast paths and the batch module's
#    bit identity with the per-record calls. The other test files
#    (the kernels' property tests, leaks, threads, hostile input, bindings) take too
#    long emulated; the arm64 kernels they would reach are covered per target above.
# The arm64 modules (mivo and mivo_batch) are disassembled on the build side and must
# hold no fused multiply-add. The emulated runs take most of the leg's time and each
# uses one core, so they run two at a time.
#
#   tools/arm64.sh [pytest args]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
build=build/arm64

# The targets that must run at each SVE vector length on the emulated CPU (which has
# every feature): the NEON family and the scalable SVE targets always, plus the one
# specialised for that length.
expected_targets() {
  local common="NEON_WITHOUT_AES NEON NEON_BF16 SVE SVE2"
  case "$1" in
    128) echo "$common SVE2_128" ;;
    256) echo "$common SVE_256" ;;
    *) echo "$common" ;;
  esac
}

# Runs CMD... in the arm64 root on an emulated CPU whose SVE vectors have BITS bits.
on_arm() {
  local bits=$1; shift
  QEMU_CPU="max,sve-default-vector-length=$((bits / 8))" MIVO_ROOT=arm64 \
    tools/root.sh run env MIVO_EMULATED=1 "$@"
}

# The C++ tests that run once per target, and the checks of which targets ran.
per_target='EveryTarget/*:SimdTargets.*'
python_tests=(tests/python/test_{golden,rabitq,ternary,kernels_fastpath,batch}.py)

echo "== arm64: cross-compiling the module and the C++ tests"
tools/root.sh run bash -c "
  cmake -S . -B $build -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
    -DMIVO_BUILD_TESTS=ON -DMIVO_WERROR=ON -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null &&
  cmake --build $build"
modules=("$build"/mivo.cpython-*-aarch64-linux-gnu.so "$build"/mivo_batch.cpython-*-aarch64-linux-gnu.so)

# Contraction into fused multiply-add would change results in the last bit; the build
# forbids it. Scalar (fmadd, fmsub, fnmadd, fnmsub), NEON (fmla, fmls and their
# widening and bfloat16 forms, the dot products) and SVE (also fmad, fmsb, fnmad,
# fnmsb, fnmla, fnmls) mnemonics.
echo "== arm64: no fused multiply-add in ${modules[*]}"
tools/root.sh run bash -c '
  set -euo pipefail
  for module in "$@"; do
    asm=$(aarch64-linux-gnu-objdump -d --no-show-raw-insn "$module")
    tab=$(printf "\t")
    grep -q "${tab}ret" <<<"$asm" || { echo "no disassembly of $module" >&2; exit 1; }
    fused="${tab}((bf)?fn?m(add|sub|ad|sb|la|ls)[a-z0-9]*|b?fdot|b?fmmla)[${tab} .]"
    if grep -E "$fused" <<<"$asm"; then
      echo "fused multiply-add in $module" >&2; exit 1
    fi
  done' _ "${modules[@]}"

# The emulated runs are single-threaded, so two run at once, each into its own log;
# the logs are printed whole in the order below, and the leg fails if any run did.
logs=$build/emulated-logs
rm -rf "$logs" && mkdir -p "$logs"
runs=()
start_run() {
  local name=$1; shift
  runs+=("$name")
  while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
  { rc=0; "$@" >"$logs/$name.log" 2>&1 || rc=$?; echo "$rc" >"$logs/$name.rc"; } &
}

for bits in 256 128 512 384; do
  filter='*'
  [ "$bits" = 256 ] || filter=$per_target
  start_run "cpp-$bits" on_arm "$bits" env MIVO_EXPECT_TARGETS="$(expected_targets "$bits")" \
    MIVO_EXPECT_SVE_BITS="$bits" "$build/mivo_core_tests" --gtest_brief=1 --gtest_filter="$filter"
done
start_run pytest-256 on_arm 256 env PYTHONPATH="$here/$build" MIVO_TEST_LEG=arm64 \
  python3 -m pytest -q -p no:cacheprovider "${python_tests[@]}" "$@"
wait

failed=()
for name in "${runs[@]}"; do
  case "$name" in
    cpp-*) echo "== arm64: C++ tests, SVE vectors of ${name#cpp-} bits" ;;
    pytest-*) echo "== arm64: pytest (${python_tests[*]}), SVE vectors of ${name#pytest-} bits" ;;
  esac
  cat "$logs/$name.log"
  [ "$(cat "$logs/$name.rc")" = 0 ] || failed+=("$name (log: $logs/$name.log)")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "arm64 runs failed: ${failed[*]}" >&2
  exit 1
fi
