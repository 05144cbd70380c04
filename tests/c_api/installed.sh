#!/bin/sh
# Installs the build tree into a temporary prefix and builds the C test host
# against it, once through the CMake package and once through pkg-config,
# then runs both.   installed.sh CMAKE BUILD_DIR SOURCE_DIR
set -eu
cmake=$1 build=$2 src=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$cmake" --install "$build" --prefix "$tmp/prefix" >/dev/null

mkdir -p "$tmp/consumer"
cat >"$tmp/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(consumer C CXX)
find_package(sarvolt_agent REQUIRED)
add_executable(host "$src/tests/c_api/test_c_api.c")
set_target_properties(host PROPERTIES LINKER_LANGUAGE CXX)
target_link_libraries(host PRIVATE sarvolt::sarvolt_agent)
CMAKE
"$cmake" -S "$tmp/consumer" -B "$tmp/consumer/build" -DCMAKE_PREFIX_PATH="$tmp/prefix" \
  -DCMAKE_BUILD_TYPE=Release >"$tmp/configure.log" 2>&1 || { cat "$tmp/configure.log"; exit 1; }
"$cmake" --build "$tmp/consumer/build" >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }

pc_dir=$(dirname "$(find "$tmp/prefix" -name sarvolt_agent.pc | head -n 1)")
export PKG_CONFIG_PATH="$pc_dir"
# shellcheck disable=SC2046
cc -std=c11 -o "$tmp/host-pc" "$src/tests/c_api/test_c_api.c" $(pkg-config --cflags sarvolt_agent) \
  $(pkg-config --libs sarvolt_agent)

"$tmp/consumer/build/host" 2>/dev/null
"$tmp/host-pc" 2>/dev/null
echo "installed tree: both hosts built and passed"
