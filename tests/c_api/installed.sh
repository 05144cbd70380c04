#!/bin/sh
# Installs the build tree into a temporary prefix and builds the C test host
# against it: through the CMake package from a C++ and from a C-only project,
# through pkg-config (plain and --static) and by hand in the documented link
# order; runs each. Checks the installed programs and examples too.
#   installed.sh CMAKE BUILD_DIR SOURCE_DIR
set -eu
cmake=$1 build=$2 src=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$cmake" --install "$build" --prefix "$tmp/prefix" >/dev/null
prefix=$tmp/prefix

for f in bin/sarvolt-host bin/sarvolt-super-peer; do
  [ -x "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
for f in agent.toml network.toml sarvolt-agent.service; do
  [ -f "$prefix/share/sarvolt-agent/$f" ] || { echo "not installed: share/sarvolt-agent/$f"; exit 1; }
done
# The example configuration reads, once it has the identity the agent makes.
SARVOLT_MIN_POW_DIFFICULTY=1 "$prefix/bin/sarvolt-host" -c "$tmp/id.toml" id >/dev/null 2>&1
sed -n '/^\[identity\]/,/^pow/p' "$tmp/id.toml" >"$tmp/identity.part"
cat "$prefix/share/sarvolt-agent/agent.toml" "$tmp/identity.part" >"$tmp/agent.toml"
"$prefix/bin/sarvolt-host" -c "$tmp/agent.toml" list 2>&1 | grep -q 'file:///etc/sarvolt/network.toml' ||
  { echo "the example agent configuration does not read:"; "$prefix/bin/sarvolt-host" -c "$tmp/agent.toml" list; exit 1; }

consumer() {  # dir, languages, extra lines
  mkdir -p "$tmp/$1"
  cat >"$tmp/$1/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project($1 $2)
find_package(sarvolt_agent REQUIRED)
add_executable(host "$src/tests/c_api/test_c_api.c")
target_link_libraries(host PRIVATE sarvolt::sarvolt_agent)
$3
CMAKE
  "$cmake" -S "$tmp/$1" -B "$tmp/$1/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >"$tmp/$1.configure.log" 2>&1 || { cat "$tmp/$1.configure.log"; exit 1; }
  "$cmake" --build "$tmp/$1/build" >"$tmp/$1.build.log" 2>&1 || { cat "$tmp/$1.build.log"; exit 1; }
}
consumer cxx "C CXX" "set_target_properties(host PROPERTIES LINKER_LANGUAGE CXX)"
consumer c_only C ""

pc_dir=$(dirname "$(find "$prefix" -name sarvolt_agent.pc | head -n 1)")
export PKG_CONFIG_PATH="$pc_dir"
# shellcheck disable=SC2046
cc -std=c11 -o "$tmp/host-pc" "$src/tests/c_api/test_c_api.c" $(pkg-config --cflags sarvolt_agent) \
  $(pkg-config --libs sarvolt_agent)
# shellcheck disable=SC2046
cc -std=c11 -o "$tmp/host-pc-static" "$src/tests/c_api/test_c_api.c" $(pkg-config --cflags sarvolt_agent) \
  $(pkg-config --static --libs sarvolt_agent)
lib=$prefix/$(basename "$(dirname "$pc_dir")")
cc -std=c11 -o "$tmp/host-by-hand" "$src/tests/c_api/test_c_api.c" -I"$prefix/include" \
  "$lib/libsarvolt_agent.a" "$lib/libsarvolt_controller.a" "$lib/libsarvolt_dataplane.a" \
  "$lib/libsarvolt_network.a" "$lib/libsarvolt_core.a" "$lib/libsarvolt_log.a" "$lib/libsarvolt_controller_api.a" \
  "$lib/libsarvolt_os.a" "$lib/libsarvolt_p2p.a" "$lib/libsarvolt_util.a" \
  -lsodium -lcrypto -lcurl -lidn2 -lspdlog -lfmt -ltomlplusplus -lunistring -lstdc++ -lm -lpthread

for h in cxx/build/host c_only/build/host host-pc host-pc-static host-by-hand; do
  "$tmp/$h" >"$tmp/run.log" 2>&1 || { echo "$h failed:"; tail -n 30 "$tmp/run.log"; exit 1; }
done
echo "installed tree: five hosts built and passed; programs and examples installed"
