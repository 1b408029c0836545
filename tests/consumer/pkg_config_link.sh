#!/bin/sh
# Builds the C consumer with the C compiler alone, the way docs/library.md says,
# from the pkg-config files of an installed tree (PKG_CONFIG_PATH names it),
# and runs each program outside the build system:
#   shared    -lclscrypt with an rpath to pkg-config's libdir;
#   path      -lclscrypt found at run time through LD_LIBRARY_PATH;
#   static    clscrypt-static: libclscrypt.a inside, the system's libraries
#             loaded as usual;
#   full      cc -static with `pkg-config --static --libs clscrypt`.
# Usage: pkg_config_link.sh CC SOURCE WORK_DIR
set -eu
cc=$1 source=$2 work=$3

fail() { echo "pkg_config_link: $*" >&2; exit 1; }
needs_clscrypt() { readelf -d "$1" | grep NEEDED | grep -q 'libclscrypt\.so'; }

rm -rf "$work" && mkdir -p "$work" && cd "$work"
unset LD_LIBRARY_PATH
flags="-std=c99 -Wall -Wextra -Wpedantic -Werror"
libdir=$(pkg-config --variable=libdir clscrypt) || fail "no clscrypt.pc on PKG_CONFIG_PATH"
case "$libdir" in /usr/lib|/usr/lib/*|/lib|/lib/*) fail "libdir $libdir is one the loader searches anyway";; esac

# shellcheck disable=SC2046
"$cc" $flags "$source" $(pkg-config --cflags --libs clscrypt) -Wl,-rpath,"$libdir" -o shared
needs_clscrypt shared || fail "shared: does not load libclscrypt.so"
./shared || fail "shared: does not run from the scratch prefix with the rpath"

# shellcheck disable=SC2046
"$cc" $flags "$source" $(pkg-config --cflags --libs clscrypt) -o path
LD_LIBRARY_PATH=$libdir ./path || fail "path: does not run with LD_LIBRARY_PATH=$libdir"

# shellcheck disable=SC2046
"$cc" $flags "$source" $(pkg-config --cflags --static --libs clscrypt-static) -o static
needs_clscrypt static && fail "static: loads libclscrypt.so: $(readelf -d static | grep NEEDED)"
readelf -d static | grep -q NEEDED || fail "static: expected a dynamically linked program"
./static || fail "static: does not run"

# A fully static program needs the C library's static archive.
if printf 'int main(void){return 0;}\n' | "$cc" -static -x c - -o probe 2>/dev/null; then
    # shellcheck disable=SC2046
    "$cc" -static $flags "$source" $(pkg-config --cflags --static --libs clscrypt) -o full 2>full.log ||
        { cat full.log; fail "full: cc -static with pkg-config --static --libs clscrypt does not link"; }
    readelf -d full | grep -q NEEDED && fail "full: has run-time dependencies: $(readelf -d full | grep NEEDED)"
    ./full || fail "full: does not run"
    echo "pkg_config_link: shared (rpath), shared (LD_LIBRARY_PATH), static library, fully static: ok"
else
    echo "pkg_config_link: shared (rpath), shared (LD_LIBRARY_PATH), static library: ok (no static C library for -static)"
fi
