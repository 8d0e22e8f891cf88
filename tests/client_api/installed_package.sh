#!/usr/bin/env bash
# Installs the build into a fresh prefix, then builds the example application against the installed
# package twice: through find_package(vexil_client) and through pkg-config.
set -euo pipefail
build_dir=$1
examples_dir=$2
sanitizer_flags=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --component vexil_client --prefix "$prefix" >/dev/null
for file in lib/libvexil_client.so.7 lib/libvexil_client_data.a include/vexil_client/client_api/vexil_client.h \
            include/vexil_client/interfaces/read_holder.h lib/cmake/vexil_client/vexil_client-config.cmake \
            lib/pkgconfig/vexil_client.pc; do
  if [ ! -e "$prefix/$file" ]; then
    echo "not installed: $file" >&2
    exit 1
  fi
done

cmake -S "$examples_dir" -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$sanitizer_flags" -DCMAKE_EXE_LINKER_FLAGS="$sanitizer_flags" >/dev/null
cmake --build "$work/example" >/dev/null
"$work/example/vexil_example" --help | grep -q "Usage"

# The pkg-config file locates the same prefix wherever it was installed.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cat >"$work/versions.cpp" <<'CPP'
#include "client_api/vexil_client.h"
#include <iostream>
int main() { std::cout << vexil::VexilClient::get_api_version().text << '\n'; }
CPP
# shellcheck disable=SC2046,SC2086
c++ $sanitizer_flags $(pkg-config --cflags vexil_client) "$work/versions.cpp" -o "$work/versions" \
  $(pkg-config --libs vexil_client) -Wl,-rpath,"$prefix/lib"
test "$("$work/versions")" = "7.1.0"
echo "installed package builds the example and a pkg-config program"
