#!/bin/sh
# The demonstration behind `make demo`: encrypt the bundled sample, decrypt
# it back, verify it and hash it, showing what each step prints.
set -eu

tool=${1:?usage: demo.sh PATH-TO-clscrypt}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cp "$here/sample.txt" "$work/sample.txt"
export DEMO_KEY="correct horse battery staple"
cd "$work"

echo "== clscrypt demonstration =="
echo "sample: $(wc -c < sample.txt) bytes of text; key in the environment variable DEMO_KEY"
echo
echo "\$ clscrypt encrypt --pass env:DEMO_KEY --progress -v sample.txt"
"$tool" encrypt --pass env:DEMO_KEY --progress -v sample.txt
echo "ciphertext: $(wc -c < sample.txt.cls) bytes, first 32 in hexadecimal:"
head -c 32 sample.txt.cls | od -An -tx1 | tr -d ' \n' | tr a-f A-F
echo
echo
mv sample.txt original.txt
echo "\$ clscrypt decrypt --pass env:DEMO_KEY --progress -v sample.txt.cls"
"$tool" decrypt --pass env:DEMO_KEY --progress -v sample.txt.cls
if cmp -s original.txt sample.txt; then
    echo "verified: the decrypted file is identical to the original"
else
    echo "MISMATCH: the decrypted file differs from the original" >&2
    exit 1
fi
echo
echo "\$ clscrypt sha256 sample.txt sample.txt.cls"
"$tool" sha256 sample.txt sample.txt.cls
echo
echo "\$ clscrypt decrypt --pass pass:wrong sample.txt.cls -o wrong.txt"
set +e
"$tool" decrypt --pass pass:wrong -q sample.txt.cls -o wrong.txt
status=$?
set -e
echo "exit status $status; wrong.txt exists: $([ -e wrong.txt ] && echo yes || echo no)"
echo
echo "Next, try:"
echo "  clscrypt encrypt --pass env:KEY FILE...        # FILE -> FILE.cls, the source is kept"
echo "  clscrypt decrypt --pass env:KEY FILE.cls       # FILE.cls -> FILE"
echo "  clscrypt encrypt --pass env:KEY --hex --text 'db password'   # one line for a config file"
echo "  clscrypt rekey --pass env:OLD --new-pass env:NEW *.cls       # migrate to a new key"
echo "  clscrypt sha256 --text 'some text'             # the legacy text digest"
echo "  clscrypt hex encode 'AB'                       # 41 42"
echo "  clscrypt --help"
