# Sourced by the tests that build programs against an installed package, as an application would.
# Gives a fresh folder $work, removed at exit after the server (if one was started) is stopped.
work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# install_package <build dir> <prefix>: the library's component, as the README installs it.
install_package() {
  cmake --install "$1" --component vexil_client --prefix "$2" >/dev/null
}

# build_against_package <source dir> <binary dir> <prefix> <sanitizer flags> [cmake options...]:
# configures and builds a project through find_package(vexil_client) from <prefix>; on failure
# shows the end of the build's output.
build_against_package() {
  local source=$1 binary=$2 prefix=$3 flags=$4
  shift 4
  cmake -S "$source" -B "$binary" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" "$@" >/dev/null
  cmake --build "$binary" >"$binary.log" 2>&1 || { tail -30 "$binary.log" >&2; return 1; }
}

# start_server <server program> <endpoint>: starts a reference server there and waits until it
# listens (20 s at most).
start_server() {
  "$1" --address "$2" >"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 400); do
    grep -q 'listening on ' "$work/server.log" && return 0
    sleep 0.05
  done
  echo "the server did not start:" >&2
  cat "$work/server.log" >&2
  return 1
}
