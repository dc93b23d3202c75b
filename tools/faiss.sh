#!/usr/bin/env bash
# Builds faiss from its public source tarball inside the toolchain root, once, with
# runtime dispatch up to AVX-512 and OpenBLAS: the build users run, as the bench's
# strong peer. Debian's python3-faiss is a generic build on the reference BLAS.
#
#   tools/faiss.sh build   build (about 20 minutes on 2 idle cores) unless already built
#   tools/faiss.sh path    print where the package lives inside the root
#
# The result lives in the root's own file system (outside the checkout), so it is
# built against exactly the libraries it runs with and goes away with the root.
# It is assembled in a temporary folder and renamed into place only when complete.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

version=1.15.0
prefix=/opt/mivo-peers/faiss-$version          # as seen inside the root
tarball=${MIVO_FAISS_TARBALL:-$here/../shared/peers/faiss-$version.tar.gz}

build() {
  tools/root.sh build
  local root
  root=$(tools/root.sh path)
  if [ -f "$root$prefix/faiss/__init__.py" ]; then
    echo "faiss $version already built in the root: $prefix"
    return 0
  fi
  [ -f "$tarball" ] || { echo "faiss source not found: $tarball" >&2; exit 1; }
  local work=/var/tmp/mivo-faiss-build
  rm -rf --one-file-system "$root$work"
  mkdir -p "$root$work"
  tar -xzf "$tarball" -C "$root$work"
  echo "building faiss $version in the root (about 20 minutes on 2 idle cores; log: $root$work/build.log)"
  # Only the library and the Python module are needed: no demos, benchmarks, tests,
  # GPU or MKL. Single-threaded use is set at run time by the bench.
  tools/root.sh run nice -n 10 bash -c '
    set -e
    work=$1 prefix=$2 version=$3
    src=$work/faiss-$version
    cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DFAISS_OPT_LEVEL=dd -DFAISS_ENABLE_GPU=OFF -DBUILD_TESTING=OFF \
      -DBLA_VENDOR=OpenBLAS -DFAISS_ENABLE_MKL=OFF -DFAISS_ENABLE_EXTRAS=OFF \
      -DFAISS_ENABLE_PYTHON=ON -DPython_EXECUTABLE=/usr/bin/python3
    cmake --build "$work/build" --target swigfaiss -j 2
    # The package layout the upstream setup script makes, without setuptools.
    py=$work/build/faiss/python
    stage=$work/stage
    mkdir -p "$stage/faiss"
    cp -r "$py/contrib" "$stage/faiss/contrib"
    for f in __init__.py loader.py class_wrappers.py gpu_wrappers.py \
             extra_wrappers.py array_conversions.py swigfaiss.py _swigfaiss.so; do
      cp "$py/$f" "$stage/faiss/$f"
    done
    mkdir -p "$(dirname "$prefix")"
    rm -rf "$prefix"
    mv -T "$stage" "$prefix"
  ' _ "$work" "$prefix" "$version" >"$root$work/build.log" 2>&1 ||
    { tail -n 30 "$root$work/build.log" >&2; exit 1; }
  rm -rf --one-file-system "$root$work"
  echo "faiss $version built: $prefix (inside the root)"
}

cd "$here"
case "${1:-}" in
  build) build ;;
  path) echo "$prefix" ;;
  *) echo "usage: tools/faiss.sh build|path" >&2; exit 2 ;;
esac
