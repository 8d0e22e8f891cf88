#!/usr/bin/env bash
# Builds the host programs of hosts/ against the installed package, as an application would, and
# checks that the library and a host with Boost.Log of its own leave each other's records alone:
# the host's sinks count all the host's records and none of the library's, whatever the order of
# set-up; the library's warnings are on stderr in its own format, once each, or forwarded; a plugin
# that links the library is unloaded and loaded again without a crash; a bad trace configuration
# file is one warning on stderr, nothing on stdout.
#   host_logging.sh <build dir> <hosts dir> [sanitizer flags]
set -euo pipefail
build_dir=$1
hosts_dir=$2
sanitizer_flags=${3:-}
# shellcheck source=../installed_package_steps.sh
source "$(dirname "${BASH_SOURCE[0]}")/../installed_package_steps.sh"
prefix=$work/prefix
failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
# expect <what> <expected> <actual>
expect() {
  [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}
count() { grep -c -- "$1" "$2" || true; }

install_package "$build_dir" "$prefix"
build_against_package "$hosts_dir" "$work/hosts" "$prefix" "$sanitizer_flags" -DCMAKE_BUILD_TYPE=RelWithDebInfo
host=$work/hosts/host_logging
unset ZEV_BASECALL_TRACE_CONFIG ZEV_BASECALL_TRACE_FOLDER

# A sink and a filter before the client, another sink while it exists: 40 and 20 host records.
"$host" sinks >"$work/out" 2>"$work/err" || fail "sinks mode ended with $?"
expect "sink set up before the client" "before host 40 forwarded 0 other 0" "$(grep '^before' "$work/out")"
expect "sink set up while the client exists" "after host 20 forwarded 0 other 0" "$(grep '^after' "$work/out")"
expect "the core stays on" "core enabled 1" "$(grep '^core' "$work/out")"
expect "library warnings on stderr" 2 "$(count '^\[zev/warning\] vexil::VexilClientImpl::pass_read: ' "$work/err")"

# Forwarded into the host's Boost.Log: the host's sink gets both warnings, and nothing is printed.
"$host" forwarder >"$work/out" 2>"$work/err" || fail "forwarder mode ended with $?"
expect "forwarded into the host's log" "forwarder host 20 forwarded 2 other 0" "$(cat "$work/out")"
expect "nothing printed while forwarding" 0 "$(count 'zev/' "$work/err")"

# No set-up: Boost.Log's default sink prints the host's records on stdout, client or not.
"$host" bare >"$work/out" 2>"$work/err" || fail "bare mode ended with $?"
expect "the host's records on stdout" 6 "$(count 'host record' "$work/out")"
expect "nothing of the library on stdout" 0 "$(grep -cv 'host record\|below the host' "$work/out" || true)"
expect "library warnings on stderr" 2 "$(count '^\[zev/warning\] ' "$work/err")"

# A trace configuration file that cannot be used, read before any client: one warning on stderr,
# nothing on stdout.
mkdir "$work/trace" && : >"$work/trace/empty" && mkfifo "$work/trace/fifo"
printf 'a\001\377\000b\n' >"$work/trace/binary"
for file in missing empty binary fifo; do
  ZEV_BASECALL_TRACE_CONFIG=$work/trace/$file "$host" early >"$work/out" 2>"$work/err" || fail "$file: ended with $?"
  expect "$file: nothing of the library on stdout" 0 "$(grep -cv 'host record\|below the host' "$work/out" || true)"
  expect "$file: one warning on stderr" 1 \
    "$(count "^\[zev/warning\] .*Trace configuration file $work/trace/$file .* is not used: " "$work/err")"
done

# A plugin unloaded and loaded again 20 times; a forwarder set in every other load is left set.
# The thread sanitizer stops when a library named by a called_from_lib suppression is unloaded, as
# libzmq is with the plugin: the plugin's host goes without those lines.
plugin_tsan_options=${TSAN_OPTIONS:-}
if [[ $plugin_tsan_options =~ suppressions=([^:]+) ]]; then
  grep -v '^called_from_lib:' "${BASH_REMATCH[1]}" >"$work/tsan.supp"
  plugin_tsan_options=${plugin_tsan_options/${BASH_REMATCH[1]}/$work/tsan.supp}
fi
# The library's never-destroyed singletons (kept for records written during static destruction)
# stay allocated after each unload: a few kilobytes a load, which LeakSanitizer would report.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 TSAN_OPTIONS=$plugin_tsan_options \
  "$work/hosts/plugin_host" "$work/hosts/libvexil_plugin.so" 20 >"$work/out" 2>"$work/err" ||
  fail "plugin host ended with $? ($(tail -3 "$work/err"))"
expect "plugin cycles" "cycles 20 host 100 other 0 still_mapped 0 wrong_forwarded 0" "$(cat "$work/out")"
expect "each warning printed once, none while forwarding" 10 "$(count '^\[zev/warning\] ' "$work/err")"

[ "$failures" -eq 0 ] || exit 1
echo "hosts with Boost.Log of their own and the library keep to their own records"
