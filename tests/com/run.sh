#!/bin/sh
# The COM server under Wine, both bitnesses, in a fresh prefix: registers
# both DLLs machine-wide (Wine does not see per-user classes), runs the C++
# contract client under the 1252 and the 1251 code page and the VBScript and
# JScript suites in the 64-bit and the 32-bit cscript, checks the keys in
# both registry views, unregisters one bitness at a time and checks that the
# other still works and keeps its keys, checks per-user registration
# (regsvr32 /n /i:user) writes and removes only the current user's keys,
# and that unregistering everything leaves nothing behind.
#
# Wine's cscript exits 0 after a script error, so every client's run must
# end with its own "N passed, 0 failed" line (N > 0).
#
# Usage: sh tests/com/run.sh [BUILD64 [BUILD32]]
#   defaults build/com-x64 and build/com-x86 (the com-x64/com-x86 presets).
#   WINE64 and WINE32 name the loaders (/usr/lib/wine/wine64, /usr/bin/wine).
set -u
cd "$(dirname "$0")/../.."
root=$PWD
build64=$(cd "${1:-build/com-x64}" && pwd) || exit 2
build32=$(cd "${2:-build/com-x86}" && pwd) || exit 2

wine64=${WINE64:-/usr/lib/wine/wine64}
wine32=${WINE32:-/usr/bin/wine}
for f in "$build64/com/clscrypt_com.dll" "$build64/com/com_contract.exe" \
         "$build32/com/clscrypt_com.dll" "$build32/com/com_contract.exe"; do
    [ -f "$f" ] || { echo "run.sh: $f is missing: build the com-x64 and com-x86 presets" >&2; exit 2; }
done
[ -x "$wine64" ] || { echo "run.sh: no 64-bit Wine loader at $wine64 (Debian: wine64)" >&2; exit 2; }
# /usr/bin/wine starts the 32-bit loader only once wine32:i386 is installed.
[ -x /usr/lib/wine/wine ] || [ -n "${WINE32:-}" ] ||
    { echo "run.sh: no 32-bit Wine loader (Debian: dpkg --add-architecture i386; wine32:i386)" >&2; exit 2; }

export WINEPREFIX="$root/build/com-wine"
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and Wine asks for nothing.
export WINEDLLOVERRIDES="mscoree=;mshtml="
export LC_ALL=en_US.UTF-8
wineserver=$(dirname "$wine64")/wineserver

failures=0
checks=0
log=$root/build/com-run.log
: >"$log"
pass() { checks=$((checks + 1)); }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); printf 'FAILED: %s\n' "$*"; }
# Windows path of an absolute Unix path (Wine's Z: drive is /).
win() { printf 'Z:%s' "$1" | tr / '\\'; }

# ------------------------------------------------------------ the prefix
start=$(date +%s)
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
"$wine64" wineboot --init >>"$log" 2>&1 || { cat "$log"; echo "run.sh: wineboot failed" >&2; exit 1; }
"$wineserver" -w
prefix_time=$(($(date +%s) - start))
start=$(date +%s)

# Installed where an installer puts them (paths with blanks, and no build
# folder beside them).
dll64_dir="$WINEPREFIX/drive_c/Program Files/clscrypt"
dll32_dir="$WINEPREFIX/drive_c/Program Files (x86)/clscrypt"
mkdir -p "$dll64_dir" "$dll32_dir"
cp "$build64/com/clscrypt_com.dll" "$dll64_dir/"
cp "$build32/com/clscrypt_com.dll" "$dll32_dir/"
dll64='C:\Program Files\clscrypt\clscrypt_com.dll'
dll32='C:\Program Files (x86)\clscrypt\clscrypt_com.dll'
scratch="$root/build/com-scratch"
rm -rf "$scratch"
mkdir -p "$scratch"

# regsvr32 BITS ARGS...: the bitness's own regsvr32, its exit status checked.
regsvr() {
    bits=$1
    shift
    if [ "$bits" = 64 ]; then
        "$wine64" 'C:\windows\system32\regsvr32.exe' /s "$@" >>"$log" 2>&1
    else
        "$wine32" 'C:\windows\syswow64\regsvr32.exe' /s "$@" >>"$log" 2>&1
    fi
    rc=$?
    if [ $rc -eq 0 ]; then pass; else fail "regsvr32 ($bits-bit) $* exited $rc"; fi
}

# --------------------------------------------------------- the registry
tostring='{96145C11-B86F-4CA0-B09D-82F84B1C7C64}'
hsh='{576D05AC-808C-43AD-8877-F9D293ABFD64}'
libid='{7CC2F20E-25E8-492F-A980-A842C2EE0D1B}'
itostring='{8A7B106A-60CC-488A-ABEE-EAA3A638DFE4}'
ievents='{8094A745-0D5A-4CC1-A0A3-0BDC5B14267F}'
ihsh='{96C86AEF-C03D-47D6-AFA4-24A9A820B373}'

# reg VIEW ARGS...: reg.exe of the view's bitness, in that view. The 32-bit
# view is read by the 32-bit reg.exe: it sees what 32-bit callers see (Wine's
# 64-bit reg.exe with /reg:32 misses the ProgID keys both views share).
reg() {
    view=$1
    shift
    if [ "$view" = 64 ]; then
        "$wine64" 'C:\windows\system32\reg.exe' "$@" /reg:64
    else
        "$wine32" 'C:\windows\syswow64\reg.exe' "$@" /reg:32
    fi
}
# The default value of HIVE\Software\Classes\KEY in registry view VIEW (64 or
# 32) on standard output; fails when the key is missing.
default_of() {
    reg "$3" query "$1\\Software\\Classes\\$2" /ve 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *(Default) *REG_SZ *//p' | grep .
}
has_key() { reg "$3" query "$1\\Software\\Classes\\$2" >/dev/null 2>&1; }

# expect_value HIVE KEY VIEW VALUE
expect_value() {
    got=$(default_of "$1" "$2" "$3")
    if [ "$got" = "$4" ]; then pass; else fail "$1\\Software\\Classes\\$2 (/reg:$3) is '$got', not '$4'"; fi
}
# expect_key HIVE KEY VIEW present|absent
expect_key() {
    if has_key "$1" "$2" "$3"; then state=present; else state=absent; fi
    if [ "$state" = "$4" ]; then pass; else fail "$1\\Software\\Classes\\$2 (/reg:$3) is $state, not $4"; fi
}

# One bitness's own keys (CLSIDs and interfaces live in each view apart).
# expect_own HIVE BITS DLL|absent [VIEW]: VIEW, the registry view to look
# in, is the bitness's own unless given.
expect_own() {
    view=${4:-$2}
    if [ "$3" = absent ]; then
        for k in "CLSID\\$tostring" "CLSID\\$hsh" "Interface\\$itostring" "Interface\\$ievents" "Interface\\$ihsh"; do
            expect_key "$1" "$k" "$view" absent
        done
        expect_key "$1" "TypeLib\\$libid\\1.0\\0\\win$2" "$view" absent
        return
    fi
    expect_value "$1" "CLSID\\$tostring\\InprocServer32" "$view" "$3"
    expect_value "$1" "CLSID\\$hsh\\InprocServer32" "$view" "$3"
    expect_value "$1" "CLSID\\$tostring\\ProgID" "$view" clscrypt.clsToString.1
    expect_value "$1" "CLSID\\$hsh\\VersionIndependentProgID" "$view" clscrypt.clsHsh
    expect_value "$1" "CLSID\\$tostring\\TypeLib" "$view" "$libid"
    expect_value "$1" "Interface\\$itostring\\TypeLib" "$view" "$libid"
    expect_value "$1" "Interface\\$ievents\\ProxyStubClsid32" "$view" '{00020420-0000-0000-C000-000000000046}'
    expect_value "$1" "Interface\\$ihsh\\ProxyStubClsid32" "$view" '{00020424-0000-0000-C000-000000000046}'
    expect_value "$1" "TypeLib\\$libid\\1.0\\0\\win$2" "$view" "$3"
}
# The keys both bitnesses share, seen from both views: present|absent.
expect_shared() {
    for view in 64 32; do
        if [ "$2" = absent ]; then
            for k in clscrypt.clsToString clscrypt.clsToString.1 clscrypt.clsHsh clscrypt.clsHsh.1 "TypeLib\\$libid"; do
                expect_key "$1" "$k" $view absent
            done
        else
            expect_value "$1" 'clscrypt.clsToString\CLSID' $view "$tostring"
            expect_value "$1" 'clscrypt.clsToString\CurVer' $view clscrypt.clsToString.1
            expect_value "$1" 'clscrypt.clsToString.1\CLSID' $view "$tostring"
            expect_value "$1" 'clscrypt.clsHsh\CLSID' $view "$hsh"
            expect_value "$1" 'clscrypt.clsHsh.1\CLSID' $view "$hsh"
        fi
    done
}

# ---------------------------------------------------------- the clients
# run_client NAME CODEPAGE|- COMMAND...: the client must print its result
# line with no failures (and, for the contract client, exit 0 and name the
# code page it ran under).
run_client() {
    name=$1
    codepage=$2
    shift 2
    "$@" >"$scratch/out" 2>"$scratch/err"
    rc=$?
    out=$(tr -d '\r' <"$scratch/out")
    printf '%s\n' "== $name" "$out" >>"$log"
    cat "$scratch/err" >>"$log"
    line=$(printf '%s\n' "$out" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -n 1)
    if [ -z "$line" ]; then
        fail "$name: no result line (it stopped early; see $log)"
        { printf '%s\n' "$out"; tr -d '\r' <"$scratch/err"; } | grep . | tail -n 5 | sed 's/^/    /'
    elif ! printf '%s\n' "$line" | grep -qE '^[1-9][0-9]* passed, 0 failed$' || [ $rc -ne 0 ]; then
        fail "$name: $line (exit $rc)"
        printf '%s\n' "$out" | grep '^FAILED' | sed 's/^/    /'
    elif [ "$codepage" != - ] && ! printf '%s\n' "$out" | grep -q "code page $codepage:"; then
        fail "$name: did not run under code page $codepage"
    else
        pass
        printf '  %-44s %s\n' "$name" "$line"
    fi
}
contract() {  # contract BITS CODEPAGE LOCALE
    if [ "$1" = 64 ]; then loader=$wine64; build=$build64; else loader=$wine32; build=$build32; fi
    run_client "contract $1-bit, code page $2" "$2" \
        env LC_ALL="$3" "$loader" "$(win "$build/com/com_contract.exe")" "$(win "$scratch")"
}
suite() {  # suite BITS FILE
    if [ "$1" = 64 ]; then
        set -- "$1" "$2" "$wine64" 'C:\windows\system32\cscript.exe'
    else
        set -- "$1" "$2" "$wine32" 'C:\windows\syswow64\cscript.exe'
    fi
    run_client "$(basename "$2") in $1-bit cscript" - "$3" "$4" //nologo "$(win "$root/$2")" "$(win "$scratch")"
}
scripts() {  # scripts BITS
    suite "$1" tests/com/suite.vbs
    suite "$1" tests/com/suite.js
}

echo "com tests: fresh Wine prefix in ${prefix_time} s"

echo "-- registered per machine, both bitnesses"
regsvr 64 "$dll64"
regsvr 32 "$dll32"
expect_own HKLM 64 "$dll64"
expect_own HKLM 32 "$dll32"
expect_shared HKLM present
expect_value HKLM "TypeLib\\$libid\\1.0\\0\\win64" 32 "$dll64"
expect_value HKLM "TypeLib\\$libid\\1.0\\0\\win32" 64 "$dll32"
contract 64 1252 en_US.UTF-8
contract 32 1252 en_US.UTF-8
contract 64 1251 ru_RU.UTF-8
contract 32 1251 ru_RU.UTF-8
scripts 64
scripts 32

echo "-- the 32-bit server unregistered: the 64-bit one keeps working"
regsvr 32 /u "$dll32"
expect_own HKLM 32 absent
expect_own HKLM 64 "$dll64"
expect_shared HKLM present
scripts 64

echo "-- the 64-bit server unregistered: the 32-bit one keeps working"
regsvr 32 "$dll32"
regsvr 64 /u "$dll64"
expect_own HKLM 64 absent
expect_own HKLM 32 "$dll32"
expect_shared HKLM present
scripts 32

echo "-- both unregistered: nothing left"
regsvr 32 /u "$dll32"
expect_own HKLM 64 absent
expect_own HKLM 32 absent
expect_shared HKLM absent

# Per user, one bitness at a time: Wine keeps no 32-bit view of
# HKCU\Software\Classes (Windows redirects its CLSID and Interface keys as it
# does the machine's), so there both servers would share one CLSID key and
# the 32-bit one's keys are found in the 64-bit view.
for bits in 64 32; do
    if [ $bits = 64 ]; then dll=$dll64; else dll=$dll32; fi
    echo "-- registered per user (regsvr32 /n /i:user), $bits-bit"
    regsvr $bits /n /i:user "$dll"
    expect_own HKCU $bits "$dll" 64
    expect_shared HKCU present
    # Per user means nothing per machine.
    expect_own HKLM 64 absent
    expect_own HKLM 32 absent
    expect_shared HKLM absent
    regsvr $bits /u /n /i:user "$dll"
    expect_own HKCU $bits absent 64
    expect_shared HKCU absent
done

"$wineserver" -k 2>/dev/null
echo "com tests: $checks checks, $failures failed, in $(($(date +%s) - start)) s after the prefix (log: $log)"
[ "$failures" -eq 0 ]
