#!/bin/sh
# The Python package as a user gets it, offline, with Debian's /usr/bin/python3
# and its packages: a virtual environment that sees the system's packages,
# `pip install --no-build-isolation .` into it, the unittest suite against
# that installed package (run from outside the source tree, so nothing of the
# build tree is imported), then `python -m build --no-isolation --wheel` and
# the wheel's contents. The source tree must stay clean.
#   sh scripts/python-test.sh        (PYTHON=... for another interpreter)
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PYTHON=${PYTHON:-/usr/bin/python3}
VENV=$ROOT/build/python-venv

sh scripts/install-deps.sh python

rm -rf "$VENV"
"$PYTHON" -m venv --system-site-packages "$VENV"
"$VENV/bin/python" -m pip install --no-build-isolation .

cd "$VENV"
"$VENV/bin/python" - <<'PY'
import os, sys
import clscrypt
where = os.path.realpath(clscrypt.__file__)
if not where.startswith(os.path.realpath(sys.prefix) + os.sep):
    sys.exit(f"clscrypt was imported from {where}, not from the virtual environment")
print("testing the installed package at", os.path.dirname(where))
PY
CLSCRYPT_REQUIRE_MYPY=1 PYTHONDONTWRITEBYTECODE=1 timeout 900 "$VENV/bin/python" -m unittest discover -v \
    -s "$ROOT/python/tests" -t "$ROOT/python/tests"
# The examples of the package's document that are marked to run, against the
# installed package.
PYTHONDONTWRITEBYTECODE=1 "$VENV/bin/python" "$ROOT/tests/doc_test.py" --root "$ROOT" --lang python \
    --python "$VENV/bin/python" python/README.md
cd "$ROOT"

rm -rf build/python-dist
"$VENV/bin/python" -m build --no-isolation --wheel --outdir build/python-dist
"$VENV/bin/python" - build/python-dist/*.whl <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
for wanted in ("clscrypt/__init__.py", "clscrypt/_clscrypt.pyi", "clscrypt/py.typed"):
    if wanted not in names:
        sys.exit(f"{sys.argv[1]}: {wanted} is missing")
if not any(n.startswith("clscrypt/_clscrypt.") and n.endswith((".so", ".pyd")) for n in names):
    sys.exit(f"{sys.argv[1]}: the compiled module is missing")
# The license travels with the wheel, and its description is the package's
# own document, not the project's front page.
info = [n for n in names if n.count("/") == 1 and n.split("/")[0].endswith(".dist-info")]
if not any(".dist-info/" in n and n.endswith("/LICENSE") for n in names):
    sys.exit(f"{sys.argv[1]}: the LICENSE file is missing from its .dist-info")
metadata = zipfile.ZipFile(sys.argv[1]).read(next(n for n in info if n.endswith("/METADATA"))).decode()
headers, _, description = metadata.partition("\n\n")
if not any(line in ("License: MIT", "License-Expression: MIT") for line in headers.splitlines()):
    sys.exit(f"{sys.argv[1]}: METADATA carries no MIT license")
if not description.startswith("# clscrypt for Python"):
    sys.exit(f"{sys.argv[1]}: the long description is not python/README.md")
print("wheel:", sys.argv[1])
PY

# Building leaves nothing beside the sources.
left=$(find python src -name '*.egg-info' -o -name '*.so' | head -n 5)
if [ -n "$left" ]; then
    echo "build output in the source tree: $left" >&2
    exit 1
fi
