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

# SHA-256 throughput against OpenSSL, optimised build.
bench: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release --target clscrypt_bench
	@./build/release/bench/clscrypt_bench

# File encryption beside in-memory encryption on 256 MiB, with peak memory.
bench-files: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release --target clscrypt_file_bench
	@./build/release/bench/clscrypt_file_bench 256 build

clean:
	rm -rf build
