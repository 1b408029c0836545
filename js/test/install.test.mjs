// The packed package, installed into a scratch project as a user would
// (offline: it has no dependencies), imported by name from a consumer.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync, readdirSync } from 'node:fs';
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
    assert.deepEqual(files, ['dist/clscrypt_wasm.mjs', 'package.json', 'src/index.cjs', 'src/index.d.ts', 'src/index.mjs']);

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
const back = new cls.clsToString({ codepage: 1252 }).DecryptString(cipher, 'key');
let kind = '';
try { new cls.clsToString().DecryptString(cipher, 'wrong'); } catch (e) { kind = e.kind; }
console.log(JSON.stringify({ back, kind, sha: new cls.clsHsh().SHA256('abc') }));
`,
    );
    const result = JSON.parse(execFileSync(process.execPath, ['consumer.mjs'], { cwd: project, encoding: 'utf8' }));
    assert.deepEqual(result, {
      back: 'Grüße',
      kind: 'WrongKeyOrDamaged',
      sha: 'ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad',
    });
    // CommonJS callers reach the same load().
    writeFileSync(
      join(project, 'consumer.cjs'),
      `require('clscrypt').load().then((cls) => console.log(new cls.clsHsh().SHA256('abc')));\n`,
    );
    assert.equal(
      execFileSync(process.execPath, ['consumer.cjs'], { cwd: project, encoding: 'utf8' }).trim(),
      'ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad',
    );
  } finally {
    rmSync(scratch, { recursive: true, force: true });
  }
});
