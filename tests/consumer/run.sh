#!/usr/bin/env bash
# Installs a built velqo tree into a scratch prefix and checks that a host can use it:
#  1. every installed public header compiles on its own with only the installed include dir;
#  2. the CMake package: configure, build and run tests/consumer against the prefix;
#  3. pkg-config: compile and link main.cpp with `pkg-config --cflags --libs velqo`, the
#     command as a host writes it (static or shared build alike), and run it.
# Given velqo-cli, each consumer also signs a new user in with V5 against `velqo-cli
# local-service`, with nothing set by the host and its data in a scratch XDG_DATA_HOME.
#
#   run.sh <velqo build dir> [c++ compiler] [velqo-cli]
set -euo pipefail
build_dir=$(cd "$1" && pwd)
cxx=${2:-c++}
cli=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
service_pid=
stop_service() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap stop_service EXIT
prefix="$scratch/prefix"

# The loopback reference service, in the foreground of its own process; its first line on
# standard output is its V1 base URL, the account routes are on the same root.
service_args=()
if [ -n "$cli" ]; then
  "$cli" --data-dir "$scratch/service" local-service >"$scratch/service.out" 2>"$scratch/service.err" &
  service_pid=$!
  for _ in $(seq 1200); do
    if grep -q '/v1$' "$scratch/service.out" 2>/dev/null; then break; fi
    if ! kill -0 "$service_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  v1_url=$(head -n 1 "$scratch/service.out")
  if [[ "$v1_url" != http://127.0.0.1:*/v1 ]]; then
    echo "run.sh: velqo-cli local-service did not start" >&2
    cat "$scratch/service.err" >&2
    exit 1
  fi
  # The code the reference service's V5 registrations expect.
  service_args=("${v1_url%/v1}" 123456)
else
  echo "run.sh: no velqo-cli given: the consumers skip the V5 sign-in"
fi

cmake --install "$build_dir" --prefix "$prefix" >"$scratch/install.log"
config=$(find "$prefix" -path '*/cmake/velqo/velqoConfig.cmake')
if [ -z "$config" ]; then
  echo "run.sh: the install put no cmake/velqo/velqoConfig.cmake under $prefix" >&2
  exit 1
fi
libdir=$(cd "$(dirname "$config")/../.." && pwd)

echo "-- headers"
# One compiler run per header, as many at a time as there are processors.
find "$prefix/include" -name '*.hpp' | sort >"$scratch/headers"
count=$(wc -l <"$scratch/headers")
if [ "$count" -eq 0 ]; then
  echo "run.sh: no headers installed" >&2
  exit 1
fi
export cxx prefix
# shellcheck disable=SC2016 # expanded by the inner shell
if ! xargs -P "$(nproc 2>/dev/null || echo 2)" -I{} bash -c '
    header="$1"
    if ! printf "#include \"%s\"\n" "${header#"$prefix/include/"}" |
      "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$prefix/include" -x c++ -; then
      echo "run.sh: installed header ${header#"$prefix/include/"} does not compile on its own" >&2
      exit 1
    fi' _ {} <"$scratch/headers"; then
  exit 1
fi
echo "   $count headers compile alone"

echo "-- find_package(velqo)"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S "$here" -B "$scratch/consumer" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$scratch/configure.log" ||
  { cat "$scratch/configure.log"; exit 1; }
cmake --build "$scratch/consumer" >"$scratch/build.log" || { cat "$scratch/build.log"; exit 1; }
XDG_DATA_HOME="$scratch/cmake-host" LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$scratch/consumer/velqo_consumer" "${service_args[@]}"

echo "-- pkg-config velqo"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
flags=$(pkg-config --cflags --libs velqo)
echo "   pkg-config --cflags --libs velqo: $flags"
# shellcheck disable=SC2086 # the flags are a word list
"$cxx" -std=c++20 "$here/main.cpp" -o "$scratch/pc_consumer" $flags
XDG_DATA_HOME="$scratch/pc-host" LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$scratch/pc_consumer" "${service_args[@]}"
echo "run.sh: installed package works (CMake and pkg-config)"
