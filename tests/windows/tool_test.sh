#!/bin/sh
# The Windows build of the tool, end to end under Wine: binary data through
# pipes, files under non-ASCII names, a wrong key, sha256 and hex.
# Usage: tool_test.sh WINE CLSCRYPT.EXE SCRATCH_DIR VERSION
set -u
wine=$1 tool=$2 work=$3 version=$4
export WINEDEBUG=${WINEDEBUG:--all}
export LC_ALL=C.UTF-8  # UTF-8 arguments, so the wide command line gets the real characters

passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...: the command must succeed
    what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $what" >&2
    fi
}
run() { "$wine" "$tool" "$@"; }

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

# Bytes that text mode would change: CR LF, LF, Ctrl-Z, zero, every value.
printf 'line\r\nline\n\032\000end' > binary.bin
awk 'BEGIN { for (i = 0; i < 256; i++) printf "%c", i }' > all.bin 2>/dev/null || head -c 256 /dev/urandom > all.bin
cat binary.bin all.bin binary.bin > sample.bin
export KEY='clé de test'

# A pipe round trip.
run encrypt --pass env:KEY < sample.bin > sample.cls
n=$(wc -c < sample.bin)
check "pipe ciphertext length" [ "$(wc -c < sample.cls)" -eq $(( (n + 12 + 7) / 8 * 8 )) ]
run decrypt --pass env:KEY < sample.cls > back.bin
check "pipe round trip" cmp -s sample.bin back.bin

# Files, under a name outside ASCII and the ANSI code page.
cp sample.bin 'отчёт 報告.bin'
run encrypt --pass env:KEY -q 'отчёт 報告.bin'
check "file encrypted beside its source" [ -f 'отчёт 報告.bin.cls' ]
run decrypt --pass env:KEY -q -o 'back 報告.bin' 'отчёт 報告.bin.cls'
check "file round trip" cmp -s sample.bin 'back 報告.bin'
check "no temporary file left" [ "$(ls -A | grep -c '\.tmp$')" -eq 0 ]

# In place, a file keeps its modification time (set here from the Linux
# side; Wine reads and sets it through the same file).
cp sample.bin 'в месте.bin'
touch -d '2001-02-03 04:05:06' 'в месте.bin'
before=$(stat -c %Y 'в месте.bin')
run encrypt --pass env:KEY -q --in-place 'в месте.bin'
check "in place: encrypted" [ "$(wc -c < 'в месте.bin')" -eq $(( (n + 12 + 7) / 8 * 8 )) ]
check "in place: modification time kept (was $before, now $(stat -c %Y 'в месте.bin'))" \
    [ "$(stat -c %Y 'в месте.bin')" -eq "$before" ]
run rekey --pass env:KEY --new-pass pass:other -q 'в месте.bin'
run decrypt --pass pass:other -q --in-place 'в месте.bin'
check "in place: re-keyed and decrypted back" cmp -s sample.bin 'в месте.bin'
check "in place: no temporary file left" [ "$(ls -A | grep -c '\.tmp$')" -eq 0 ]

# A wrong key: exit status 4, nothing written.
run decrypt --pass pass:wrong -q -o wrong.bin 'отчёт 報告.bin.cls' 2>/dev/null
status=$?
check "wrong key exits with 4 (got $status)" [ "$status" -eq 4 ]
check "wrong key writes nothing" [ ! -e wrong.bin ]

# The Windows tool's ciphertext decrypts with the Linux tool, when there is one.
if [ -n "${CLSCRYPT_NATIVE_TOOL:-}" ]; then
    "$CLSCRYPT_NATIVE_TOOL" decrypt --pass env:KEY < sample.cls > native.bin
    check "native tool reads the Windows ciphertext" cmp -s sample.bin native.bin
fi

# sha256 of a file matches sha256sum, and the legacy text digest.
expected=$(sha256sum sample.bin | cut -d' ' -f1)
check "sha256 of a file" [ "$(run sha256 sample.bin | tr -d '\r' | cut -d' ' -f1)" = "$expected" ]
check "sha256 of standard input" [ "$(run sha256 < sample.bin | tr -d '\r' | cut -d' ' -f1)" = "$expected" ]
check "sha256 --text" [ "$(run sha256 --text abc | tr -d '\r')" = \
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad" ]

# hex, and a text round trip through --hex.
check "hex encode" [ "$(run hex encode --separator - AB | tr -d '\r')" = "41-42" ]
check "hex decode" [ "$(run hex decode --separators 1 '41 42' | tr -d '\r')" = "AB" ]
check "hex encode of é in 1252" [ "$(run hex encode 'é' | tr -d '\r')" = "E9" ]
line=$(run encrypt --pass env:KEY --hex --text 'mot de passe é' | tr -d '\r')
check "text round trip" [ "$(run decrypt --pass env:KEY --text "$line" | tr -d '\r')" = "mot de passe é" ]

check "--version" [ "$(run --version | tr -d '\r')" = "clscrypt $version" ]
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
