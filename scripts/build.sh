#!/usr/bin/env bash
# Configures and builds everything into build/cmake (binaries in build/cmake/bin), for the
# machine the tests can run on here (scripts/arch.sh). When that is not the product's own
# 32-bit machine, the 32-bit build is made as well, into build/cmake-i686: it is what ships.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$ROOT/scripts/arch.sh"
ARCH=$(nvpc_test_arch)
BUILD=${NVPC_BUILD_DIR:-$ROOT/build/cmake}

configure_and_build() { # folder arch [target]
  local dir=$1 arch=$2 target=${3:-all}
  if [ -f "$dir/CMakeCache.txt" ] && ! grep -q "mingw-$arch.cmake" "$dir/CMakeCache.txt"; then
    echo "build: $dir was configured for another machine; configuring it anew for $arch"
    rm -rf "$dir"
  fi
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$dir" -j "$(nproc)" --target "$target"
}

configure_and_build "$BUILD" "$ARCH"
if [ "$ARCH" != i686 ] && [ -z "${NVPC_SKIP_PRODUCT_BUILD:-}" ]; then
  configure_and_build "${NVPC_PRODUCT_BUILD_DIR:-$ROOT/build/cmake-i686}" i686 nvpc_product
fi
