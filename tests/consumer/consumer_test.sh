#!/bin/bash
# An integrator's program against an install of the build, once with find_package and once with
# pkg-config. Usage: consumer_test.sh BUILD_DIR SOURCE_DIR [PREFIX]; without PREFIX, the build is
# installed under BUILD_DIR/tests/work/consumer/prefix first.
set -eu
build=$1
source_dir=$2
work=$build/tests/work/consumer
rm -rf "$work" && mkdir -p "$work"
prefix=${3:-$work/prefix}
[ $# -gt 2 ] || cmake --install "$build" --prefix "$prefix" >/dev/null
pkgconfig=$(dirname "$(find "$prefix" -name zavdmreg.pc | head -n 1)")
# A package's libraries, found where the system would look once they are installed.
[ $# -gt 2 ] && export LD_LIBRARY_PATH=${pkgconfig%/pkgconfig}
export DMNATIVE_TREE=$source_dir/examples/trees/handset.txt ZAVTAPI_MODEM=
cmake -S "$source_dir/tests/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer" 2>/dev/null
export PKG_CONFIG_PATH=$pkgconfig
g++ -std=c++17 "$source_dir/tests/consumer/consumer.cpp" $(pkg-config --cflags --libs zavdmreg) \
  -Wl,-rpath,"$(pkg-config --variable=libdir zavdmreg)" -o "$work/pkg-config-consumer"
"$work/pkg-config-consumer" 2>/dev/null
