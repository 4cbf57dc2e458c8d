#!/usr/bin/env bash
# Installs the build to a temporary prefix, then builds and runs a small
# host against it twice: with pkg-config and with find_package.
# Usage: install_test.sh CMAKE BUILD_DIR CONSUMER_DIR C_COMPILER PKG_CONFIG
set -euo pipefail
cmake_cmd=$1 build_dir=$2 consumer_dir=$3 cc=$4 pkg_config=$5

work=$(mktemp -d "${TMPDIR:-/tmp}/zkinstall.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

"$cmake_cmd" --install "$build_dir" --prefix "$prefix" >"$work/install.log"

expected="VID=DGC
PID=CLARiiON
ATYPE=A/P
ANAME=EMC_CLARiiON
version 1"

fail() { echo "install test: $*" >&2; exit 1; }

[ -f "$prefix/include/zkDGCclariion.h" ] || fail "public header not installed"
lib=$(find "$prefix" -name libzkDGCclariion.so -print -quit)
[ -n "$lib" ] || fail "shared object not installed"
pc=$(find "$prefix" -name zkDGCclariion.pc -print -quit)
[ -n "$pc" ] || fail "pkg-config file not installed"
config=$(find "$prefix" -name zkDGCclariionConfig.cmake -print -quit)
[ -n "$config" ] || fail "CMake package config not installed"
[ -f "$(dirname "$config")/zkDGCclariionConfigVersion.cmake" ] || fail "package version file not installed"

# pkg-config host.
export PKG_CONFIG_PATH=$(dirname "$pc")
[ "$("$pkg_config" --modversion zkDGCclariion)" = "$(sed -n 's/^Version: //p' "$pc")" ] ||
    fail "pkg-config does not read the package"
libdir=$(cd "$("$pkg_config" --variable=libdir zkDGCclariion)" && pwd)
[ "$libdir" = "$(cd "$(dirname "$lib")" && pwd)" ] || fail "pkg-config libdir $libdir is not where the library is"
# shellcheck disable=SC2046
"$cc" -o "$work/host_pc" "$consumer_dir/consumer.c" \
    $("$pkg_config" --cflags --libs zkDGCclariion) -Wl,-rpath,"$libdir"
out=$(cd / && "$work/host_pc")
[ "$out" = "$expected" ] || fail "pkg-config host printed: $out"

# find_package host.
"$cmake_cmd" -S "$consumer_dir" -B "$work/consumer-build" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" >"$work/configure.log" ||
    { cat "$work/configure.log" >&2; fail "find_package host does not configure"; }
"$cmake_cmd" --build "$work/consumer-build" >"$work/build.log" ||
    { cat "$work/build.log" >&2; fail "find_package host does not build"; }
out=$(cd / && "$work/consumer-build/consumer")
[ "$out" = "$expected" ] || fail "find_package host printed: $out"

echo "install test: header, library, pkg-config and CMake package all usable"
