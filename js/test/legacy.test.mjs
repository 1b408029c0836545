// The legacy class as JavaScript code meets it: Key is a property that
// sets the key, options and lengths are checked before anything runs, and
// errors carry a stable code and reach CommonJS callers too.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { createRequire } from 'node:module';
import { load } from '../src/index.mjs';

const cls = await load();
const require = createRequire(import.meta.url);
const entry = new URL('../src/index.mjs', import.meta.url).href;

test('Key is a write-only property: assigning sets the key, reading or calling it throws', () => {
  const message = new Uint8Array([1, 2, 3]);
  const c = new cls.clsToString();
  c.Key = 'secret';
  const cipher = c.EncryptByte(message);
  assert.deepEqual(cls.decrypt(cipher, { keys: ['secret'] }), message, 'written under the key assigned');
  assert.throws(() => cls.decrypt(cipher, { keys: [] }), (e) => e.kind === 'WrongKeyOrDamaged', 'written with no key');
  // A second assignment is mixed in on top of the first (the key history).
  c.Key = 'more';
  assert.deepEqual(cls.decrypt(c.EncryptByte(message), { keys: ['secret', 'more'] }), message);
  assert.throws(() => c.Key, TypeError, 'reading it');
  assert.throws(() => c.Key('x'), TypeError, 'calling it as a method');
  assert.throws(() => {
    c.Key = 42;
  }, TypeError);
  assert.ok(!Object.keys(c).includes('Key'), 'no own property hides the setter');
  c.dispose();
});

test('a key given to an operation stays in the instance, even when the operation fails', () => {
  const c = new cls.clsToString();
  const other = cls.encrypt(new Uint8Array([9]), { keys: ['a', 'b'] });
  assert.throws(() => c.DecryptByte(new Uint8Array(3), 'a'), (e) => e.kind === 'WrongKeyOrDamaged');
  assert.deepEqual(c.DecryptByte(other, 'b'), new Uint8Array([9]), 'the failed call left "a" in the history');
  c.dispose();
});

test('constructor options are checked: unknown, mistyped and fractional ones throw', () => {
  const cases = [
    ['a code page as the argument', [1251], TypeError],
    ['a string', ['1251'], TypeError],
    ['null', [null], TypeError],
    ['an array', [[1251]], TypeError],
    ['a misspelt option', [{ codePage: 1251 }], TypeError],
    ['an option of the stateless calls', [{ keys: ['k'] }], TypeError],
    ['a code page as a string', [{ codepage: '1251' }], TypeError],
    ['a fractional code page', [{ codepage: 1251.5 }], RangeError],
    ['NaN', [{ codepage: NaN }], RangeError],
    ['a non-boolean replaceUnmappable', [{ replaceUnmappable: 'yes' }], TypeError],
  ];
  for (const [name, args, type] of cases) assert.throws(() => new cls.clsToString(...args), type, name);
  assert.equal(new cls.clsToString({ codepage: 1251 }).codepage, 1251);
  assert.equal(new cls.clsToString({}).codepage, 1252);
  assert.equal(new cls.clsToString().codepage, 1252);
  assert.throws(() => new cls.clsToString({ codepage: 437 }), (e) => e.kind === 'InvalidArgument');
});

test('stream lengths are checked rather than wrapped or truncated', () => {
  const c = new cls.clsToString();
  const cases = [
    ['-1', () => c.createEncryptStream(-1), RangeError],
    ['1.5', () => c.createEncryptStream(1.5), RangeError],
    ['NaN', () => c.createEncryptStream(NaN), RangeError],
    ['2^53', () => c.createEncryptStream(2 ** 53), RangeError],
    ['2^64 as a BigInt (would wrap to 0)', () => c.createEncryptStream(2n ** 64n), RangeError],
    ['-1 as a BigInt', () => c.createDecryptStream(-1n), RangeError],
    ['a string', () => c.createEncryptStream('10'), TypeError],
    ['no length', () => c.createEncryptStream(), TypeError],
  ];
  for (const [name, f, type] of cases) assert.throws(f, type, name);
  // Past the format's limit the library refuses it (kind Overflow).
  assert.throws(() => c.createEncryptStream(2n ** 40n), (e) => e.kind === 'Overflow');
  const s = c.createEncryptStream(3n);
  s.update(new Uint8Array(3));
  assert.equal(s.final().length, 16);
  c.dispose();
});

// A piece size of 0 or less used to loop for ever: each case runs in a child
// process with a time limit.
test('pieceSize is checked: 0, -1, fractions and non-numbers are refused', () => {
  const cases = [['0', RangeError], ['-1', RangeError], ['0.5', RangeError], ['NaN', RangeError], ["'64'", TypeError]];
  for (const [size, type] of cases) {
    const script = `
      const cls = await (await import(${JSON.stringify(entry)})).load();
      const c = new cls.clsToString();
      for (const run of [c.encryptLarge, c.decryptLarge]) {
        try {
          await run.call(c, [new Uint8Array(64)], { length: 64, pieceSize: ${size}, onChunk() {} });
          console.log('accepted');
        } catch (e) {
          console.log(e.constructor.name);
        }
      }`;
    const r = spawnSync(process.execPath, ['--input-type=module', '-e', script], { encoding: 'utf8', timeout: 20000 });
    assert.equal(r.signal, null, `pieceSize ${size}: still running after 20 s`);
    assert.equal(r.status, 0, `pieceSize ${size}: ${r.stderr}`);
    assert.deepEqual(r.stdout.trim().split('\n'), [type.name, type.name], `pieceSize ${size}`);
  }
});

test('errors carry a stable code beside the kind, and CommonJS callers get the same classes', async () => {
  const cases = [
    [() => cls.decrypt(new Uint8Array(16), { keys: ['k'] }), 'WrongKeyOrDamaged', 'ERR_CLSCRYPT_WRONG_KEY_OR_DAMAGED'],
    [() => cls.decrypt(new Uint8Array(3), { keys: [] }), 'WrongKeyOrDamaged', 'ERR_CLSCRYPT_WRONG_KEY_OR_DAMAGED'],
    [() => cls.readHex('4G'), 'InvalidArgument', 'ERR_CLSCRYPT_INVALID_ARGUMENT'],
    [() => cls.encrypt(new Uint8Array(1), { keys: ['ключ'] }), 'Unmappable', 'ERR_CLSCRYPT_UNMAPPABLE'],
  ];
  const cjs = require('../src/index.cjs');
  assert.equal(typeof cjs.RuntimeError, 'function', 'RuntimeError of the CommonJS entry');
  assert.equal(cjs.ErrorKind.Busy, 13);
  for (const [f, kind, code] of cases) {
    let e = null;
    try {
      f();
    } catch (caught) {
      e = caught;
    }
    assert.ok(e instanceof cls.RuntimeError, String(e));
    assert.ok(e instanceof cjs.RuntimeError, 'instanceof the CommonJS RuntimeError');
    assert.equal(e.kind, kind);
    assert.equal(e.code, code);
    assert.equal(cls.errorCode(kind), code);
  }
  assert.ok(!(new Error('x') instanceof cjs.RuntimeError));
  const viaCjs = await cjs.load();
  assert.equal(viaCjs.RuntimeError, cls.RuntimeError, 'one module behind both entries');
  assert.equal(typeof cjs.encrypt, 'undefined', 'the functions come from load()');
});

test('whatever a Progress listener throws, null and undefined included, is raised as it was', () => {
  for (const thrown of [null, undefined, 0, '', new Error('x'), Symbol.for('s')]) {
    const c = new cls.clsToString();
    c.Progress.subscribe(() => {
      throw thrown;
    });
    let got = 'nothing';
    try {
      c.EncryptByte(new Uint8Array(10), 'k');
    } catch (e) {
      got = e;
    }
    assert.equal(got, thrown, `throw ${String(thrown)}`);
    c.dispose();
  }
});

test('an instance costs a key set-up: no WebAssembly module is compiled for it', () => {
  const Module = WebAssembly.Module;
  let compiled = 0;
  WebAssembly.Module = function (...args) {
    compiled++;
    return new Module(...args);
  };
  try {
    const made = Array.from({ length: 200 }, () => new cls.clsToString());
    made[0].Progress.subscribe(() => {});
    made[0].EncryptByte(new Uint8Array(4), 'k');
    for (const c of made) c.dispose();
  } finally {
    WebAssembly.Module = Module;
  }
  assert.equal(compiled, 0);
});

// Resident memory is the one measure that sees WebAssembly memory (it never
// shrinks, and Node's arrayBuffers figure leaves it out), so each case runs
// in a child of its own. The ciphertext to decrypt is made by encrypt, which
// goes in pieces and leaves WebAssembly memory small.
test('EncryptByte, DecryptByte and encrypt hold little beyond the data and the result', () => {
  const size = 96 << 20;
  for (const call of ['c.EncryptByte(data)', 'c.DecryptByte(sealed)', "cls.encrypt(data, { keys: ['k'] })"]) {
    const child = spawnSync(process.execPath, ['--input-type=module', '-e', `
      const { load } = await import(${JSON.stringify(entry)});
      const cls = await load();
      const c = new cls.clsToString();
      c.Key = 'k';
      const data = new Uint8Array(${size}).fill(7);
      const sealed = ${call.includes('sealed') ? "cls.encrypt(data, { keys: ['k'] })" : 'null'};
      const base = process.resourceUsage().maxRSS;
      const out = ${call};
      console.log(JSON.stringify({ grown: (process.resourceUsage().maxRSS - base) * 1024, out: out.length }));
    `], { encoding: 'utf8' });
    assert.equal(child.status, 0, child.stderr);
    const { grown, out } = JSON.parse(child.stdout);
    assert.ok(out >= size, call);
    // The result, a piece and the collector's slack; the whole-array path
    // held two more copies of the data in WebAssembly memory.
    assert.ok(grown < out + size / 2, `${call}: ${grown >> 20} MiB more resident for ${size >> 20} MiB`);
  }
});

// Up to 1 MiB EncryptByte and DecryptByte run the library's whole-array
// call, beyond it a stream in pieces: either side of the boundary they give
// the same bytes, Progress events, errors and key history.
test('EncryptByte and DecryptByte agree either side of the piece boundary', () => {
  const MiB = 1 << 20;
  const sizes = [MiB - 17, MiB - 16, MiB, MiB + 1, 3 * MiB + 5];
  for (const size of sizes) {
    const data = new Uint8Array(size).map((_, i) => i * 7);
    const c = new cls.clsToString();
    const seen = [];
    c.Progress.subscribe((p) => seen.push(p));
    const sealed = c.EncryptByte(data, 'k');
    assert.deepEqual(cls.decrypt(sealed, { keys: ['k'] }), data, `${size}`);
    assert.equal(seen[0], 0, `${size}: the first event`);
    assert.equal(seen.at(-1), 100, `${size}: the closing event`);
    assert.ok(seen.every((p, i) => i === 0 || p >= seen[i - 1]), `${size}: events in order`);
    const events = seen.length;
    seen.length = 0;
    assert.deepEqual(c.DecryptByte(sealed), data, `${size}`);
    assert.equal(seen.length, events, `${size}: as many events decrypting as encrypting`);
    // A wrong key fails with its kind and, given as the argument, stays.
    const wrong = cls.encrypt(data, { keys: ['other'] });
    assert.throws(() => c.DecryptByte(wrong, 'k2'), (e) => e.kind === 'WrongKeyOrDamaged', `${size}`);
    assert.deepEqual(cls.decrypt(c.EncryptByte(data), { keys: ['k', 'k2'] }), data, `${size}: the key history`);
    // A cut ciphertext is refused the same way on both paths.
    assert.throws(() => c.DecryptByte(sealed.subarray(0, sealed.length - 8)), (e) => e.kind === 'WrongKeyOrDamaged');
    c.dispose();
  }
});

// The string calls beyond a piece go through a stream, converting the text a
// piece at a time; the peak grew to about ten times the text when the
// library converted the whole text in WebAssembly memory. Bound: the text
// (a one-byte string here), plus what the call adds, within three times
// the text's size as UTF-16.
test('the string calls hold little beyond the text and the result', () => {
  const units = 32 << 20;
  const calls = ["cls.encryptString(text, { keys: ['k'] })", 'c.EncryptString(text)', 'c.StrToHex(text)'];
  for (const call of calls) {
    const child = spawnSync(process.execPath, ['--input-type=module', '-e', `
      const { load } = await import(${JSON.stringify(entry)});
      const cls = await load();
      const c = new cls.clsToString();
      c.Key = 'k';
      const text = 'a row of text, '.repeat(${units / 16}).padEnd(${units}, '.');
      text.charCodeAt(0);
      const base = process.resourceUsage().maxRSS;
      const out = ${call};
      console.log(JSON.stringify({ grown: (process.resourceUsage().maxRSS - base) * 1024, out: out.length }));
    `], { encoding: 'utf8' });
    assert.equal(child.status, 0, child.stderr);
    const { grown, out } = JSON.parse(child.stdout);
    assert.ok(out >= units, call);
    assert.ok(units + grown <= 3 * 2 * units, `${call}: ${grown >> 20} MiB more resident for ${units >> 20} Mi characters`);
  }
});

// Either side of the piece boundary the string calls give the same text,
// errors and key history, whether the library converts the whole text or a
// stream takes it in pieces; a pair of surrogates across the boundary reads
// back as the legacy "?" pair, and a refusal or a bad digit past the first
// piece names its place in the whole text.
test('the string calls agree either side of the piece boundary', () => {
  const MiB = 1 << 20;
  const euro = '\u20ac';
  for (const size of [MiB - 1, MiB, MiB + 1, 2 * MiB + 3]) {
    // A pair of surrogates straddling the first boundary, and code-page
    // characters that are not Latin-1.
    const text = `${'a'.repeat(MiB - 1)}\u{1f600}${euro}b`.padEnd(size, 'z').slice(0, size);
    const read = text.replace(/[\ud800-\udfff]/g, '?');
    const c = new cls.clsToString({ replaceUnmappable: true });
    const sealed = c.EncryptString(text, 'k');
    assert.equal(sealed.length, Number(cls.encrypt(new Uint8Array(size), { keys: [] }).length), `${size}`);
    assert.equal(c.DecryptString(sealed), read, `${size}`);
    assert.equal(cls.decryptString(sealed, { keys: ['k'], replaceUnmappable: true }), read, `${size}`);
    // The ciphertext's characters are its bytes in the code page: the bytes
    // path reads them too.
    const bytes = cls.readHex(c.StrToHex(sealed, ''));
    assert.equal(c.HexToStr(c.StrToHex(sealed, '')), sealed, `${size}`);
    assert.deepEqual(cls.decrypt(bytes, { keys: ['k'] }), cls.readHex(c.StrToHex(text, ' ')), `${size}`);
    const spaced = c.StrToHex(text, '--');
    assert.equal(spaced.length, 4 * size - 2, `${size}`);
    assert.equal(spaced.slice(4 * (MiB - 2), 4 * (MiB + 1) - 2), c.StrToHex(text.slice(MiB - 2, MiB + 1), '--'));
    assert.equal(c.HexToStr(spaced, 2), read, `${size}`);
    // A wrong key given as the argument stays in the history.
    assert.throws(() => c.DecryptString(sealed, 'k2'), (e) => e.kind === 'WrongKeyOrDamaged', `${size}`);
    assert.equal(cls.decryptString(c.EncryptString(text), { keys: ['k', 'k2'], replaceUnmappable: true }), read);
    c.dispose();

    const strict = new cls.clsToString();
    const lacking = `${'x'.repeat(size - 1)}\u0436`;
    for (const f of [() => strict.EncryptString(lacking, 'k'), () => strict.StrToHex(lacking),
      () => cls.encryptString(lacking, { keys: ['k'] })]) {
      assert.throws(f, (e) => e.kind === 'Unmappable' && e.message.includes(`position ${size},`), `${size}`);
    }
    const bad = `${'4A'.repeat(size >> 1)}G0`;
    assert.throws(() => strict.HexToStr(bad), (e) => e.number === 9 && e.message.includes(`position ${2 * (size >> 1)} `));
    strict.dispose();
  }
});
