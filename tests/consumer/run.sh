#!/usr/bin/env bash
# Installs a built velqo tree into a scratch prefix and checks that a host can use it:
#  1. every installed public header compiles on its own with only the installed include dir;
#  2. the CMake package: configure, build and run tests/consumer against the prefix;
#  3. pkg-config: compile and link main.cpp with `pkg-config --static --cflags --libs velqo`
#     (without --static for a shared build) and run it.
#
#   run.sh <velqo build dir> [c++ compiler]
set -euo pipefail
build_dir=$(cd "$1" && pwd)
cxx=${2:-c++}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"

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
LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$scratch/consumer/velqo_consumer"

echo "-- pkg-config velqo"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
link_kind=()
if [ -f "$libdir/libvelqo.a" ]; then link_kind=(--static); fi
flags=$(pkg-config "${link_kind[@]}" --cflags --libs velqo)
echo "   pkg-config ${link_kind[*]} --cflags --libs velqo: $flags"
# shellcheck disable=SC2086 # the flags are a word list
"$cxx" -std=c++20 "$here/main.cpp" -o "$scratch/pc_consumer" $flags
LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$scratch/pc_consumer"
echo "run.sh: installed package works (CMake and pkg-config)"
