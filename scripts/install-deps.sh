#!/bin/sh
# Installs the Debian packages the build, the tests and the tools need, when
# any is missing. Run as root (or with sudo available); does nothing when
# everything is already there.
set -eu

# `install-deps.sh wasm`: only what the WebAssembly package and the web
# page's browser test need (large; CI installs them for that step alone).
if [ "${1:-}" = "wasm" ]; then
    PACKAGES="cmake ninja-build emscripten chromium chromium-driver"
    # A node of its own (a newer release, which brings npm and conflicts
    # with Debian's npm) serves as well as Debian's.
    if ! command -v npm >/dev/null 2>&1; then
        PACKAGES="$PACKAGES nodejs npm"
    fi
else
PACKAGES="cmake ninja-build g++ clang make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libssl-dev libcli11-dev"
# JSON for the tests that read the cases every surface shares (header-only).
PACKAGES="$PACKAGES nlohmann-json3-dev"
# Portable implementations of the x86 intrinsics (header-only): the tests run
# the AVX-512 kernels through them on processors without AVX-512.
PACKAGES="$PACKAGES libsimde-dev"
# Packaging (dpkg-shlibdeps for the Debian packages), the Python module, the
# Windows cross build and Wine to test it.
PACKAGES="$PACKAGES dpkg-dev file binutils pybind11-dev python3-dev g++-mingw-w64-x86-64 wine64"
# Reliability checks: libFuzzer and the sanitizer runtimes for clang 14,
# fault injection, memory dumps, memory checking.
PACKAGES="$PACKAGES libclang-rt-14-dev strace gdb valgrind"
# The Python package's offline install, its tests and its benchmark, asked
# for by scripts/python-test.sh (install-deps.sh python).
case " $* " in
    *" python "*)
        PACKAGES="$PACKAGES python3-venv python3-pip python3-setuptools python3-wheel python3-build"
        PACKAGES="$PACKAGES python3-dask python3-distributed python3-pandas python3-psutil python3-cryptography"
        # Type checks of the stubs against python/README.md's examples and the tests.
        PACKAGES="$PACKAGES python3-mypy"
        ;;
esac
# `install-deps.sh sql`: also the databases of the SQL extensions' step (the
# SQLite headers and shell, the PostgreSQL 15 server, its contrib modules and
# its headers).
if [ "${1:-}" = "sql" ]; then
    PACKAGES="$PACKAGES libsqlite3-dev sqlite3 postgresql-15 postgresql-server-dev-15"
fi
fi

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
elif command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
else
    echo "missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
