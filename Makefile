# Thin wrapper over the CMake presets.
.PHONY: all deps demo test test-asan test-clang release bench bench-files clean

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

clean:
	rm -rf build
