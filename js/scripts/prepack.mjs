// Run by npm pack and npm publish: the package is nothing without its
// WebAssembly module, so it is built here (from the project's CMake
// presets, when packing inside the project) or the pack fails. The
// project's LICENSE is copied in beside the package's README.
import { execFileSync } from 'node:child_process';
import { copyFileSync, existsSync } from 'node:fs';
import { fileURLToPath } from 'node:url';

const pkg = fileURLToPath(new URL('..', import.meta.url));
const root = fileURLToPath(new URL('../..', import.meta.url));
const module = `${pkg}dist/clscrypt_wasm.mjs`;

if (existsSync(`${root}CMakePresets.json`) && existsSync(`${root}js/native/CMakeLists.txt`)) {
  const run = (args) => execFileSync('cmake', args, { cwd: root, stdio: ['ignore', 'ignore', 'inherit'] });
  try {
    if (!existsSync(`${root}build/wasm/build.ninja`) && !existsSync(`${root}build/wasm/Makefile`)) run(['--preset', 'wasm']);
    run(['--build', '--preset', 'wasm']);
  } catch (e) {
    console.error(`prepack: building the WebAssembly module failed (${e.message}); see "make wasm" in the project`);
    process.exit(1);
  }
} else if (!existsSync(module)) {
  console.error('prepack: dist/clscrypt_wasm.mjs is missing and the project to build it from is not here; ' +
    'pack from a clone of the project (it builds the module with Emscripten)');
  process.exit(1);
}
for (const built of [module, `${pkg}dist/kinds.mjs`, `${pkg}dist/kinds.cjs`, `${pkg}dist/kinds.d.mts`]) {
  if (!existsSync(built)) {
    console.error(`prepack: the build did not write ${built.slice(pkg.length)}`);
    process.exit(1);
  }
}
if (existsSync(`${root}LICENSE`) && existsSync(`${root}js/package.json`)) {
  copyFileSync(`${root}LICENSE`, `${pkg}LICENSE`);
} else if (!existsSync(`${pkg}LICENSE`)) {
  console.error('prepack: LICENSE is missing and the project it comes from is not here');
  process.exit(1);
}
