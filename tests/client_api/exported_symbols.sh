#!/usr/bin/env bash
# Fails when the shared library defines a dynamic symbol outside the namespace vexil::, or none in it.
set -euo pipefail
library=$1
symbols=$(nm -D --defined-only --demangle "$library" | sed -E 's/^[0-9a-f]+ [A-Za-z] //')
if [ -z "$symbols" ]; then
  echo "no dynamic symbols defined in $library" >&2
  exit 1
fi
foreign=$(grep -v '^vexil::' <<<"$symbols" || true)
if [ -n "$foreign" ]; then
  echo "symbols outside vexil:: exported by $library:" >&2
  echo "$foreign" >&2
  exit 1
fi
soname=$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')
if [ "$soname" != "libvexil_client.so.7" ]; then
  echo "soname is '$soname', expected libvexil_client.so.7" >&2
  exit 1
fi
for required in 'vexil::VexilClient::connect()' 'vexil::Read::Read()' 'vexil::to_string[abi:cxx11](vexil::Result)'; do
  if ! grep -qF "$required" <<<"$symbols"; then
    echo "missing export: $required" >&2
    exit 1
  fi
done
echo "$(wc -l <<<"$symbols") symbols, all in vexil::"
