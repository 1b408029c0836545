// The packed package, installed into a scratch project as a user would
// (offline: it has no dependencies), imported by name from a consumer.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { cpSync, existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync, readdirSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

const pkg = fileURLToPath(new URL('..', import.meta.url));

test('npm pack gives a package that installs offline and works when imported by name', () => {
  const scratch = mkdtempSync(join(tmpdir(), 'clscrypt-install-'));
  try {
    const npm = (args, cwd) => execFileSync('npm', args, { cwd, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
    const packed = JSON.parse(npm(['pack', '--json', '--pack-destination', scratch], pkg))[0];
    const files = packed.files.map((f) => f.path).sort();
    assert.deepEqual(files, ['LICENSE', 'README.md', 'dist/clscrypt_wasm.mjs', 'dist/kinds.cjs', 'dist/kinds.d.mts',
      'dist/kinds.mjs', 'package.json', 'src/errors.mjs', 'src/index.cjs', 'src/index.d.cts', 'src/index.d.ts',
      'src/index.mjs', 'src/legacy.mjs', 'src/memory.mjs', 'src/options.mjs', 'src/stateless.mjs', 'src/streams.mjs',
      'src/values.mjs']);
    // The project's license travels in the package, and its field says so.
    const unpacked = join(scratch, 'unpacked');
    execFileSync('mkdir', [unpacked]);
    execFileSync('tar', ['-xzf', join(scratch, packed.filename), '-C', unpacked]);
    assert.equal(readFileSync(join(unpacked, 'package', 'LICENSE'), 'utf8'), readFileSync(join(pkg, '..', 'LICENSE'), 'utf8'));
    assert.equal(JSON.parse(readFileSync(join(unpacked, 'package', 'package.json'), 'utf8')).license, 'MIT');

    const project = join(scratch, 'consumer');
    execFileSync('mkdir', [project]);
    writeFileSync(join(project, 'package.json'), JSON.stringify({ name: 'consumer', private: true, type: 'module' }));
    npm(['install', '--offline', '--no-audit', '--no-fund', join(scratch, packed.filename)], project);
    assert.ok(readdirSync(join(project, 'node_modules', 'clscrypt', 'dist')).includes('clscrypt_wasm.mjs'));
    writeFileSync(
      join(project, 'consumer.mjs'),
      `import { load } from 'clscrypt';
const cls = await load();
const c = new cls.clsToString({ codepage: 1252 });
const cipher = c.EncryptString('Grüße', 'key');
const back = cls.decryptString(cipher, { keys: ['key'], codepage: 1252 });
let kind = '';
try { cls.decryptString(cipher, { keys: ['wrong'] }); } catch (e) { kind = e.kind; }
console.log(JSON.stringify({ back, kind, sha: new cls.clsHsh().SHA256('abc') }));
`,
    );
    const result = JSON.parse(execFileSync(process.execPath, ['consumer.mjs'], { cwd: project, encoding: 'utf8' }));
    assert.deepEqual(result, {
      back: 'Grüße',
      kind: 'WrongKeyOrDamaged',
      sha: 'ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad',
    });
    // CommonJS callers reach the same load(), and the error class at once.
    writeFileSync(
      join(project, 'consumer.cjs'),
      `const { load, RuntimeError } = require('clscrypt');
load().then((cls) => {
  let kind = '';
  try { cls.decrypt(new Uint8Array(16), { keys: ['k'] }); } catch (e) { kind = e instanceof RuntimeError && e.code; }
  console.log(new cls.clsHsh().SHA256('abc'), kind);
});\n`,
    );
    assert.equal(
      execFileSync(process.execPath, ['consumer.cjs'], { cwd: project, encoding: 'utf8' }).trim(),
      'ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad ERR_CLSCRYPT_WRONG_KEY_OR_DAMAGED',
    );

    // TypeScript (the package's own dev dependency) checks both entries
    // under module node16: results go into a Blob, errors have their code.
    writeFileSync(join(project, 'tsconfig.json'), JSON.stringify({
      compilerOptions: { module: 'node16', moduleResolution: 'node16', target: 'es2022', strict: true, noEmit: true,
        lib: ['es2022', 'dom'], types: [], skipLibCheck: false },
      files: ['typed.mts', 'typed.cts'],
    }));
    writeFileSync(join(project, 'typed.mts'), `import { load, RuntimeError } from 'clscrypt';
const cls = await load();
const out = cls.encrypt(new Uint8Array(3), { keys: ['a', 'b'], codepage: 1252 });
const blob: Blob = new Blob([out, cls.decrypt(out, { keys: [['a'], ['a', 'b']] })]);
const stream: TransformStream = cls.decryptStream({ keys: ['a'], length: 16n });
const c = new cls.clsToString({ codepage: 1251 });
c.Key = 'k';
const e: unknown = null;
if (e instanceof RuntimeError) console.log(e.code, e.kind, blob, stream);
`);
    writeFileSync(join(project, 'typed.cts'), `import clscrypt = require('clscrypt');
clscrypt.load().then((cls) => {
  const out: Uint8Array<ArrayBuffer> = cls.encrypt(new Uint8Array(1), { keys: [] });
  const e: unknown = out;
  if (e instanceof clscrypt.RuntimeError) console.log(e.code, clscrypt.ErrorKind.Busy);
});
`);
    const bin = (name) => join(pkg, 'node_modules', '.bin', name);
    const run = (cmd, args) => {
      try {
        return execFileSync(cmd, args, { cwd: project, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
      } catch (e) {
        assert.fail(`${cmd} ${args.join(' ')}: ${e.stdout}${e.stderr}`);
      }
    };
    run(bin('tsc'), ['-p', 'tsconfig.json']);
    // A mistake in a consumer is caught (the check is no formality).
    writeFileSync(join(project, 'typed.cts'), `import clscrypt = require('clscrypt');
clscrypt.load().then((cls) => cls.encrypt(new Uint8Array(1), { key: 'k' }));
`);
    assert.throws(() => execFileSync(bin('tsc'), ['-p', 'tsconfig.json'], { cwd: project, stdio: 'pipe' }));

    // A browser bundle without any configuration, which then runs.
    run(bin('esbuild'), ['consumer.mjs', '--bundle', '--platform=browser', '--format=esm', '--outfile=bundle.mjs']);
    assert.ok(!/["']node:/.test(readFileSync(join(project, 'bundle.mjs'), 'utf8')), 'the bundle asks for node: modules');
    assert.deepEqual(JSON.parse(run(process.execPath, ['bundle.mjs'])), result);

    // webpack 5 for the browser, told nothing about the package (no
    // fallbacks, aliases or rules), and the bundle runs. Its size hints are
    // off: the module's 500 kB are what the package is.
    writeFileSync(join(project, 'webpack.cjs'), `const webpack = require(${JSON.stringify(join(pkg, 'node_modules', 'webpack'))});
webpack({ mode: 'production', target: 'web', entry: './consumer.mjs', context: __dirname,
  output: { path: __dirname, filename: 'webpacked.js' }, performance: { hints: false } }, (err, stats) => {
  if (err || stats.hasErrors() || stats.hasWarnings()) {
    console.error(err ?? stats.toString({ all: false, errors: true, warnings: true }));
    process.exit(1);
  }
});
`);
    run(process.execPath, ['webpack.cjs']);
    assert.ok(!/["']node:/.test(readFileSync(join(project, 'webpacked.js'), 'utf8')), 'the webpack bundle asks for node: modules');
    assert.deepEqual(JSON.parse(run(process.execPath, ['webpacked.js'])), result);
  } finally {
    rmSync(scratch, { recursive: true, force: true });
  }
});

test('npm pack without the built module fails instead of packing a package that cannot load', () => {
  const scratch = mkdtempSync(join(tmpdir(), 'clscrypt-pack-'));
  try {
    // The package's files as a clone has them, away from the project that builds the module.
    const copy = join(scratch, 'clscrypt');
    for (const part of ['package.json', 'README.md', 'src', 'scripts']) cpSync(join(pkg, part), join(copy, part), { recursive: true });
    let failed = null;
    try {
      execFileSync('npm', ['pack', '--pack-destination', scratch], { cwd: copy, encoding: 'utf8', stdio: 'pipe' });
    } catch (e) {
      failed = e;
    }
    assert.ok(failed, 'npm pack succeeded without the module');
    assert.match(failed.stderr, /dist\/clscrypt_wasm\.mjs is missing/);
    assert.deepEqual(readdirSync(scratch).filter((n) => n.endsWith('.tgz')), []);
    assert.ok(!existsSync(join(copy, 'dist')));
  } finally {
    rmSync(scratch, { recursive: true, force: true });
  }
});
