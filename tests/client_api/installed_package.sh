#!/usr/bin/env bash
# Installs the build into a fresh prefix, then builds the examples against the installed package
# through find_package(vexil_client), and examples/minimal_client.cpp once more through pkg-config
# alone, the way the README shows; both builds of the minimal program then pass a read through the
# reference server and must get it back called to its sequence.
set -euo pipefail
build_dir=$1
examples_dir=$2
sanitizer_flags=${3:-}
server_program=${4:-}
# shellcheck source=../installed_package_steps.sh
source "$(dirname "${BASH_SOURCE[0]}")/../installed_package_steps.sh"
prefix=$work/prefix

install_package "$build_dir" "$prefix"
for file in lib/libvexil_client.so.7 lib/libvexil_client_data.a include/vexil_client/client_api/vexil_client.h \
            include/vexil_client/interfaces/read_holder.h lib/cmake/vexil_client/vexil_client-config.cmake \
            lib/pkgconfig/vexil_client.pc; do
  if [ ! -e "$prefix/$file" ]; then
    echo "not installed: $file" >&2
    exit 1
  fi
done

build_against_package "$examples_dir" "$work/example" "$prefix" "$sanitizer_flags"
"$work/example/vexil_example" --help | grep -q "Usage"

# The pkg-config file locates the same prefix wherever it was installed, and its rpath lets the
# program start without LD_LIBRARY_PATH.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
unset LD_LIBRARY_PATH
# shellcheck disable=SC2046,SC2086
c++ $sanitizer_flags $(pkg-config --cflags vexil_client) "$examples_dir/minimal_client.cpp" -o "$work/minimal_pc" \
  $(pkg-config --libs vexil_client)

if [ -n "$server_program" ]; then
  endpoint=ipc://$work/server.sock
  start_server "$server_program" "$endpoint"
  for program in "$work/example/minimal_client" "$work/minimal_pc"; do
    output=$("$program" "$endpoint" GATTACAGATTACAGATTACAGATTACA) || { echo "$program failed: $output" >&2; exit 1; }
    if ! grep -qx "read 1: GATTACAGATTACAGATTACAGATTACA" <<<"$output"; then
      echo "$program did not get its read back called:" >&2
      echo "$output" >&2
      exit 1
    fi
  done
fi

# Every member the installed read record declares links from the installed package alone.
cat >"$work/record.cpp" <<'CPP'
#include "interfaces/read_holder.h"
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>
int main() {
    interfaces::ReadHolder read;
    read.read_tag = 7;
    read.metadata.insert("read_id", std::string("9a4c1f52-0d3b-4e6a-8f71-2b5c9e0d4a13"));
    read.metadata.insert("strand_id", std::string("9a4c1f52-0d3b-4e6a-8f71-2b5c9e0d4a13"));
    read.metadata.insert<float>("mean_qscore", 0.0F);
    read.metadata.insert<std::uint64_t>("sequence_length", 8);
    read.metadata.insert<std::uint64_t>("trimmed_events", 8);
    read.metadata.insert<std::uint64_t>("num_events", 8);
    read.metadata.insert<std::uint64_t>("model_stride", 5);
    read.datasets.emplace(dataset::movement, bass::data_wrappers::DataView(std::vector<std::uint8_t>(8, 1)));
    read.datasets.emplace(dataset::sequence, bass::data_wrappers::DataView(std::string("ACGTACGT")));
    read.datasets.emplace(dataset::qstring, bass::data_wrappers::DataView(std::string("++++++++")));
    read.recalculate_mean_qscore();
    const auto copy = read.clone();
    const auto tail = read.split_at(4);
    std::cout << read.metadata.get_value<float>("mean_qscore") << ' ' << copy->sub_tag << ' ' << tail->sub_tag << ' '
              << read.metadata.get_value<std::uint64_t>("sequence_length") << '\n';
}
CPP
# shellcheck disable=SC2046,SC2086
c++ $sanitizer_flags $(pkg-config --cflags vexil_client) "$work/record.cpp" -o "$work/record" \
  $(pkg-config --libs vexil_client)
test "$("$work/record")" = "10 1 2 4"
echo "installed package builds the examples through find_package and pkg-config, and they run"
