# Thin wrapper over the CMake presets.
.PHONY: all deps demo test wasm wasm-test test-asan test-clang release bench bench-files bench-all bench-all-check clean install-test python-test windows-test com-test

all: test

deps:
	@sh scripts/install-deps.sh

# The main job on a built-in default: the tool encrypts, decrypts, verifies
# and hashes a bundled sample.
demo: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release --target clscrypt_tool
	@sh tools/demo.sh "$(CURDIR)/build/release/tools/clscrypt"

# Builds everything in the dev preset (warnings as errors) and runs every test.
test: deps
	cmake --workflow --preset dev

test-asan: deps
	cmake --workflow --preset asan

test-clang: deps
	cmake --workflow --preset dev-clang

# Every path against OpenSSL (and files against memory) in one run, optimised
# build, ending with the table of ratios; scratch files go to build/ and
# /dev/shm. Takes about ten minutes. Google Benchmark flags pass through:
# make bench BENCH_FLAGS='--bench_system=0 --benchmark_filter=Decrypt'
bench: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release --target clscrypt_bench
	@./build/release/bench/clscrypt_bench --bench_folder=build $(BENCH_FLAGS)

# File encryption beside in-memory encryption on 256 MiB, with peak memory.
bench-files: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release --target clscrypt_file_bench
	@./build/release/bench/clscrypt_file_bench 256 build

# Every surface against the anchor its users would pick, one table with
# ratios and ranges (bench/all/bench_all.py; docs/BENCHMARKS.md keeps its
# latest output). Surfaces whose set-up is missing are skipped, saying so:
# run `make python-test`, `make wasm` and `make sql-test` (root, for
# PostgreSQL) first to have them all. About 5 to 7 minutes; exits 0 whether or
# not a target is met. make bench-all BENCH_ALL_FLAGS='--reps 5 --only files,tool'
bench-all: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j2 --target clscrypt_bench clscrypt_file_bench clscrypt_lines_anchor clscrypt_tool
	@/usr/bin/python3 bench/all/bench_all.py $(BENCH_ALL_FLAGS)

# That the benchmark's scripts parse, in seconds, measuring nothing.
bench-all-check:
	@/usr/bin/python3 bench/all/bench_all.py --dry-run

# Install to a scratch prefix and check it, build and run consumer projects
# against it (find_package, pkg-config) and the source tree
# (add_subdirectory), build and install the Debian packages; the C tests.
install-test: deps
	cmake --preset dev
	cmake --build --preset dev
	ctest --preset dev -R '^(capi_tests|public_headers|shared_library_symbols|install_tree|consumer_find_package|consumer_add_subdirectory|debian_packages)$$'

# The Python package installed with pip into a virtual environment (offline,
# Debian's /usr/bin/python3), its unittest suite against it, and its wheel.
python-test: deps
	sh scripts/python-test.sh

# Cross-build for Windows and run the tests under Wine.
windows-test: deps
	sh scripts/windows-test.sh

# The COM server clscrypt_com.dll, 64- and 32-bit, and its tests under Wine
# (contract client, VBScript and JScript suites, registration). Installs
# Wine, wine32 and the MinGW-w64 compilers when missing (as root).
com-test:
	sh scripts/com-test.sh

# The SQLite and PostgreSQL extensions and their tests against real
# databases. Run as root: the PostgreSQL test INSTALLS THE EXTENSION INTO THE
# SYSTEM'S POSTGRESQL FOLDERS (pg_config --pkglibdir and --sharedir; it says
# so when it does), because PostgreSQL 15 reads extension control files from
# its share folder only (no extension_control_path), and runs a throwaway
# server as the postgres user.
.PHONY: sql-test bench-sql
sql-test:
	@sh scripts/install-deps.sh sql
	cmake --workflow --preset sql

# The SQL benchmarks (bench/sql/run.sh); root for the PostgreSQL part.
bench-sql:
	@sh scripts/install-deps.sh sql
	@cmake --preset sql >/dev/null
	@cmake --build --preset sql
	@sh bench/sql/run.sh build/sql

clean:
	rm -rf build

# The WebAssembly module of the npm package (js/dist/), then the package's
# tests and the web page's browser test.
wasm:
	@sh scripts/install-deps.sh wasm
	cmake --preset wasm
	cmake --build --preset wasm

wasm-test: wasm
	cd js && npm ci --prefer-offline --no-audit --no-fund
	cd js && npm test
	node --test web/test/
