#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a C11 program against
# it twice: through pkg-config and through find_package(oruDiskLib).
# Usage: c_consumers.sh <build dir> <this directory>
set -euo pipefail
build=$1 here=$2
for tool in cmake gcc pkg-config; do
  command -v "$tool" >/dev/null || { echo "$tool is missing"; exit 77; }
done
flags=${ORU_ABI_C_FLAGS:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
test -f "$prefix/include/oruDiskLib.h"
for internal in rwimage1.h qcow2.h https_post.h; do
  if [ -e "$prefix/include/$internal" ]; then echo "internal header $internal installed"; exit 1; fi
done
pc=$(find "$prefix" -name oruDiskLib.pc | head -n1)
[ -n "$pc" ] || { echo "no oruDiskLib.pc installed"; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir oruDiskLib)
test -e "$libdir/liboruDiskLib.so.1"

# The installed tool finds the installed library by itself.
if [ -e "$prefix/bin/orudisk" ]; then
  "$prefix/bin/orudisk" --version
fi

echo "== pkg-config consumer"
# shellcheck disable=SC2046,SC2086
gcc -std=c11 -pedantic-errors -Wall -Wextra -Werror $flags -o "$scratch/app" "$here/consumer.c" \
  $(pkg-config --cflags --libs oruDiskLib) -Wl,-rpath,"$libdir"
"$scratch/app"

echo "== find_package consumer"
# The consumer project lives in the scratch tree: a CMakeLists.txt here
# would be taken for one of the test areas.
mkdir "$scratch/consumer"
cp "$here/consumer.cmake" "$scratch/consumer/CMakeLists.txt"
cp "$here/consumer.c" "$scratch/consumer/main.c"
cmake -S "$scratch/consumer" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
"$scratch/cmake-build/consumer"
echo "both consumers built and ran"
