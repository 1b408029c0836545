#!/bin/sh
# Proves the crash-safe replacement of the file operations: every system call
# they make that can fail is failed in turn (strace -e inject), reads and
# writes are cut short and interrupted (a preloaded shim), and 20 processes
# write one destination at once. Prints "destination intact in K of K
# injected faults" and the other counts. Builds the `dev` preset first; pass
# --quick to fail only the first and last call of each kind.
set -eu
cd "$(dirname "$0")/.."
command -v strace >/dev/null || { echo "strace is needed: apt-get install strace" >&2; exit 1; }
cmake --preset dev >/dev/null
cmake --build --preset dev --target fault_injection fault_shim >/dev/null
exec ./build/dev/tests/fault_injection --shim ./build/dev/tests/libfault_shim.so "$@"
