#!/bin/sh
# Builds the Debian packages of a build tree, installs them with dpkg into a
# scratch root (its own dpkg database, so the machine's is untouched), runs
# the tool from there and builds the consumer project against the -dev
# package.
# Usage: deb_test.sh BUILD_DIR WORK_DIR VERSION SOVERSION CONSUMER_SOURCE "CMAKE OPTIONS"
set -eu
build=$1 work=$2 version=$3 soversion=$4 consumer=$5 options=$6

fail() { echo "deb_test: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/debs" "$work/root/var/lib/dpkg/info" "$work/root/var/lib/dpkg/updates"
touch "$work/root/var/lib/dpkg/status"

cd "$work"
cpack --config "$build/CPackConfig.cmake" -B "$work/debs" >cpack.log 2>&1 || { cat cpack.log; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
lib=debs/libclscrypt${soversion}_${version}_${arch}.deb
dev=debs/libclscrypt-dev_${version}_${arch}.deb
tool=debs/clscrypt_${version}_${arch}.deb
for deb in "$lib" "$dev" "$tool"; do
    [ -f "$deb" ] || fail "missing $deb (made: $(ls debs))"
done

# What each package holds and needs.
dpkg-deb -c "$lib" | grep -q "libclscrypt.so.${soversion}" || fail "$lib lacks the shared library"
dpkg-deb -c "$lib" | grep -q "include/" && fail "$lib holds headers"
dpkg-deb -c "$dev" | grep -q "include/clscrypt/clscrypt.h" || fail "$dev lacks the C header"
dpkg-deb -c "$dev" | grep -q "libclscrypt.a" || fail "$dev lacks the static library"
dpkg-deb -f "$dev" Depends | grep -q "libclscrypt${soversion} (= ${version})" || fail "$dev does not depend on $lib"
dpkg-deb -f "$tool" Depends | grep -q "libc6" || fail "$tool has no shared-library dependencies"
dpkg-deb -c "$tool" | grep -q "man1/clscrypt.1" || fail "$tool lacks the man page"
# The license, where Debian looks for it, in each package: Debian's
# machine-readable form naming the license, with the file's own text.
for deb in "$lib" "$dev" "$tool"; do
    package=$(dpkg-deb -f "$deb" Package)
    copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$package/copyright" 2>/dev/null) ||
        fail "$deb lacks usr/share/doc/$package/copyright"
    printf '%s\n' "$copyright" | grep -qx "License: Expat" || fail "$deb: its copyright file names no MIT (Expat) license"
    printf '%s\n' "$copyright" | grep -q "^ Permission is hereby granted, free of charge" ||
        fail "$deb: its copyright file lacks the license text"
done

root=$work/root
dpkg --root="$root" --admindir="$root/var/lib/dpkg" --force-not-root --force-depends \
    --force-script-chrootless --log=/dev/null -i "$lib" "$dev" "$tool" >dpkg.log 2>&1 || { cat dpkg.log; fail "dpkg -i failed"; }
dpkg --admindir="$root/var/lib/dpkg" -l libclscrypt-dev | grep -q "^ii" || fail "libclscrypt-dev is not installed"

out=$("$root/usr/bin/clscrypt" --version) || fail "the installed tool does not run"
[ "$out" = "clscrypt $version" ] || fail "clscrypt --version printed '$out'"
echo "$out (from the package)"

# shellcheck disable=SC2086
ctest --build-and-test "$consumer" "$work/consumer" --build-generator Ninja \
    --build-options $options -DCMAKE_PREFIX_PATH="$root/usr" \
    --test-command ctest --output-on-failure >consumer.log 2>&1 || { cat consumer.log; fail "consumer build against the packages failed"; }
echo "deb_test: 3 packages built, installed and used"
