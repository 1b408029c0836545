// The stateless functions, the package's front door: the shared cases of
// tests/data/conformance.json through encrypt/decrypt, their string and
// stream forms and rekeyValues; one call never leaves a key behind for the
// next; streams work with Node's web-stream bridges and an AbortSignal.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { randomBytes } from 'node:crypto';
import { Readable, Writable } from 'node:stream';
import { pipeline } from 'node:stream/promises';
import { load } from '../src/index.mjs';

const cls = await load();
const cases = JSON.parse(readFileSync(new URL('../../tests/data/conformance.json', import.meta.url), 'utf8'));
const fromHex = (h) => Uint8Array.from((h.match(/../g) ?? []).map((b) => parseInt(b, 16)));
// "abc" with no key, from the shared known answers.
const unkeyedAbc = cases.known_answers.find((k) => k.keys.length === 0 && k.message === '616263').cipher;
const toHex = (b) => Array.from(b, (x) => x.toString(16).padStart(2, '0')).join('').toUpperCase();
const bytesAsText = (b) => String.fromCharCode(...b);
const join = (parts) => {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
};
function raised(f) {
  try {
    f();
  } catch (e) {
    assert.ok(e instanceof cls.RuntimeError, `not a RuntimeError: ${e}`);
    return e;
  }
  assert.fail('nothing raised');
}
// A ciphertext as the string operations carry it: code-page text, one
// character per byte, as the legacy HexToStr makes it.
function asString(bytes, codepage = 0) {
  const c = new cls.clsToString({ codepage });
  try {
    return c.HexToStr(toHex(bytes));
  } finally {
    c.dispose();
  }
}
// Everything a web ReadableStream gives, joined.
async function drain(readable) {
  const parts = [];
  for await (const p of readable) parts.push(p);
  return join(parts);
}
// `bytes` in pieces of `size` through a TransformStream.
function through(bytes, size, transform) {
  let at = 0;
  const source = new ReadableStream({
    pull(c) {
      if (at >= bytes.length) c.close();
      else c.enqueue(bytes.subarray(at, (at += size)));
    },
  });
  return drain(source.pipeThrough(transform));
}

test('known answers through decrypt, decryptString and decryptStream, in the forms callers hold', async () => {
  for (const c of cases.known_answers) {
    const cipher = fromHex(c.cipher);
    const opts = { keys: c.keys, codepage: c.codepage };
    for (const [form, data] of [
      ['Uint8Array', cipher],
      ['ArrayBuffer', cipher.slice().buffer],
      ['DataView', new DataView(cipher.slice().buffer)],
    ]) {
      assert.equal(toHex(cls.decrypt(data, opts)), c.message, `${c.name}: decrypt of a ${form}`);
    }
    const text = cls.decryptString(asString(cipher, c.codepage), opts);
    const legacy = new cls.clsToString({ codepage: c.codepage });
    assert.equal(legacy.StrToHex(text, ''), c.message, `${c.name}: decryptString`);
    legacy.dispose();
    for (const length of [cipher.length, undefined]) {
      const got = await through(cipher, 7, cls.decryptStream({ ...opts, length }));
      assert.equal(toHex(got), c.message, `${c.name}: decryptStream, length ${length}`);
    }
    // Candidates: a wrong history first, then the right one.
    const candidates = { keys: [['not it'], c.keys], codepage: c.codepage };
    assert.equal(toHex(cls.decrypt(cipher, candidates)), c.message, `${c.name}: the second candidate`);
    // And what the functions write reads back with the class under the same history.
    const mine = cls.encrypt(fromHex(c.message), opts);
    const keyed = new cls.clsToString({ codepage: c.codepage });
    for (const k of c.keys) keyed.Key = k;
    assert.equal(toHex(keyed.DecryptByte(mine)), c.message, `${c.name}: encrypt read by the class`);
    keyed.dispose();
  }
});

test('keys the code page lacks: refused with their position, or the legacy "?" when asked for', async () => {
  for (const c of cases.unmappable_keys) {
    const cipher = fromHex(c.cipher_with_replacement);
    const opts = { keys: [c.key], codepage: c.codepage };
    const calls = [
      ['decrypt', () => cls.decrypt(cipher, opts)],
      ['encrypt', () => cls.encrypt(new Uint8Array(3), opts)],
      ['decryptString', () => cls.decryptString(asString(cipher, c.codepage), opts)],
      ['encryptString of the key as text', () => cls.encryptString(c.key, { keys: [], codepage: c.codepage }), 'text'],
      ['decryptStream', () => cls.decryptStream({ ...opts, length: cipher.length })],
      ['encryptStream', () => cls.encryptStream({ ...opts, length: 3 })],
    ];
    for (const [name, f, what = 'key'] of calls) {
      const e = raised(f);
      assert.equal(e.kind, 'Unmappable', `${c.name}: ${name}`);
      assert.equal(e.code, 'ERR_CLSCRYPT_UNMAPPABLE');
      assert.match(e.message, new RegExp(`the ${what} has a character at position ${c.position}\\b`), `${c.name}: ${name}`);
      for (const ch of c.key) if (ch.codePointAt(0) >= 0x80) assert.ok(!e.message.includes(ch), `${c.name}: ${name}`);
    }
    const replacing = { ...opts, replaceUnmappable: true };
    assert.equal(toHex(cls.decrypt(cipher, replacing)), c.message, `${c.name}: decrypt with replacement`);
    assert.equal(toHex(await through(cipher, 5, cls.decryptStream(replacing))), c.message,
      `${c.name}: decryptStream with replacement`);
  }
});

test('no error of a stateless call holds a deciphered byte, whichever slice is read', async () => {
  const c = cases.spliced;
  const cipher = fromHex(c.cipher);
  const opts = { keys: c.keys };
  assert.equal(toHex(cls.decrypt(cipher, opts)), c.message);
  let checked = 0;
  const check = (e, where) => {
    checked++;
    assert.ok(e instanceof cls.RuntimeError, `${where}: ${e}`);
    const said = [e.name, e.message, e.description, e.code, String(e)].join('\n');
    for (const f of c.forbidden) assert.ok(!said.includes(f), `${where}: "${f}" in ${JSON.stringify(said)}`);
  };
  for (let at = 0; at + 16 <= cipher.length; at++) {
    for (let len = 16; at + len <= cipher.length; len += 8) {
      if (at === 0 && len === cipher.length) continue;
      const slice = cipher.slice(at, at + len);
      const where = `offset ${at}, length ${len}`;
      for (const [name, f] of [
        ['decrypt', () => cls.decrypt(slice, opts)],
        ['decryptString', () => cls.decryptString(asString(slice), opts)],
        ['decrypt, candidates', () => cls.decrypt(slice, { keys: [['other'], c.keys] })],
      ]) {
        try {
          f();
        } catch (e) {
          check(e, `${where}, ${name}`);
        }
      }
      for (const length of [len, undefined]) {
        try {
          await through(slice, 5, cls.decryptStream({ ...opts, length }));
        } catch (e) {
          check(e, `${where}, decryptStream of length ${length}`);
        }
      }
    }
  }
  assert.ok(checked > 100, `only ${checked} messages checked`);
});

test('damaged ciphertexts fail with their kind through decrypt and decryptStream', async () => {
  for (const c of cases.damaged) {
    const bytes = cls.readHex(c.cipher);
    const opts = { keys: cases.spliced.keys };
    assert.equal(raised(() => cls.decrypt(bytes, opts)).kind, c.kind, `${c.name}: decrypt`);
    await assert.rejects(through(bytes, 4, cls.decryptStream(opts)), (e) => e.kind === c.kind, `${c.name}: stream`);
  }
});

test('each call stands alone: no key, code page or history carries over to the next', () => {
  const message = new TextEncoder().encode('alone');
  const cipher = cls.encrypt(message, { keys: ['first', 'second'] });
  const cases = [
    ['the same history', { keys: ['first', 'second'] }, 'ok'],
    ['no key', { keys: [] }, 'WrongKeyOrDamaged'],
    ['the last key alone', { keys: ['second'] }, 'WrongKeyOrDamaged'],
    ['the keys in the other order', { keys: ['second', 'first'] }, 'WrongKeyOrDamaged'],
    ['one key as a string', { keys: 'first' }, 'WrongKeyOrDamaged'],
    ['candidates, the right one last', { keys: [['second'], ['first'], ['first', 'second']] }, 'ok'],
  ];
  // Twice over, so that each case also follows every other one.
  for (let round = 0; round < 2; round++) {
    for (const [name, opts, want] of cases) {
      if (want === 'ok') assert.deepEqual(cls.decrypt(cipher, opts), message, name);
      else assert.equal(raised(() => cls.decrypt(cipher, opts)).kind, want, name);
    }
  }
  const text = cls.encryptString('Grüße', { keys: ['k'], codepage: 1252 });
  assert.equal(cls.decryptString(text, { keys: ['k'], codepage: 1252 }), 'Grüße');
  // The code page of the call before does not stay: 1252 (the default) lacks the key's letters.
  const cyrillic = cls.encrypt(message, { keys: ['ключ'], codepage: 1251 });
  assert.equal(raised(() => cls.decrypt(cyrillic, { keys: ['ключ'] })).kind, 'Unmappable');
  assert.deepEqual(cls.decrypt(cyrillic, { keys: ['ключ'], codepage: 1251 }), message);
});

test('stateless calls refuse options they do not know and keys in no known shape', () => {
  const bytes = new Uint8Array(4);
  const cases = [
    ['no options', () => cls.encrypt(bytes), TypeError],
    ['no keys', () => cls.encrypt(bytes, {}), TypeError],
    ['a misspelt option', () => cls.encrypt(bytes, { keys: [], codePage: 1252 }), TypeError],
    ['a key option, as the class has', () => cls.decrypt(bytes, { keys: [], key: 'k' }), TypeError],
    ['a mix of keys and histories', () => cls.decrypt(bytes, { keys: ['a', ['b']] }), TypeError],
    ['a number as a key', () => cls.encrypt(bytes, { keys: [1] }), TypeError],
    ['a string as data', () => cls.encrypt('text', { keys: [] }), TypeError],
    ['a code page as a string', () => cls.encrypt(bytes, { keys: [], codepage: '1252' }), TypeError],
    ['a fractional code page', () => cls.encrypt(bytes, { keys: [], codepage: 1252.5 }), RangeError],
    ['a stream without its length', () => cls.encryptStream({ keys: [] }), TypeError],
    ['a negative stream length', () => cls.decryptStream({ keys: [], length: -8 }), RangeError],
    ['a stream with candidates', () => cls.decryptStream({ keys: [['a'], ['b']] }), TypeError],
    ['not a signal', () => cls.decryptStream({ keys: [], signal: {} }), TypeError],
  ];
  for (const [name, f, type] of cases) assert.throws(f, type, name);
  // [] is "no key": data written without a key reads under it.
  const unkeyed = fromHex(unkeyedAbc);
  assert.equal(bytesAsText(cls.decrypt(unkeyed, { keys: [] })), 'abc');
});

test('encryptStream and decryptStream: Node pipeline, the one-shot bytes, a wrong key before any output', async () => {
  const message = new Uint8Array(randomBytes(3 * 1024 * 1024 + 7));
  const parts = [];
  await pipeline(
    Readable.from([message.subarray(0, 1000), message.subarray(1000, 2_000_000), message.subarray(2_000_000)]),
    cls.encryptStream({ keys: ['one', 'two'], length: message.length }),
    new Writable({
      write(chunk, _enc, done) {
        parts.push(chunk);
        done();
      },
    }),
  );
  const cipher = join(parts);
  assert.equal(cipher.length, 8 * Math.ceil((message.length + 12) / 8));
  assert.deepEqual(cls.decrypt(cipher, { keys: ['one', 'two'] }), message);
  assert.deepEqual(await through(cipher, 65536 + 3, cls.decryptStream({ keys: ['one', 'two'] })), message);

  let out = 0;
  const wrong = Readable.toWeb(Readable.from([cipher.subarray(0, 100), cipher.subarray(100)]))
    .pipeThrough(cls.decryptStream({ keys: ['one'], length: cipher.length }));
  await assert.rejects(async () => {
    for await (const p of wrong) out += p.length;
  }, (e) => e.kind === 'WrongKeyOrDamaged' && e.code === 'ERR_CLSCRYPT_WRONG_KEY_OR_DAMAGED');
  assert.equal(out, 0, 'bytes came out under a wrong key');
  await assert.rejects(through(cipher.subarray(0, cipher.length - 8), 999, cls.decryptStream({ keys: ['one', 'two'] })),
    (e) => e.kind === 'WrongKeyOrDamaged', 'a ciphertext cut by a block');
  await assert.rejects(through(message.subarray(0, 10), 3, cls.encryptStream({ keys: [], length: 11 })),
    cls.RuntimeError, 'fewer bytes than the length given');
});

test('an AbortSignal stops a stream with its reason, before or during the run', async () => {
  const message = new Uint8Array(1 << 20);
  const reason = new Error('stop');
  await assert.throws(() => cls.encryptStream({ keys: [], length: 1, signal: AbortSignal.abort(reason) }),
    (e) => e === reason, 'already aborted');
  for (const make of [
    (signal) => cls.encryptStream({ keys: ['k'], length: message.length, signal }),
    (signal) => cls.decryptStream({ keys: ['k'], signal }),
  ]) {
    const controller = new AbortController();
    let pulled = 0;
    const source = new ReadableStream({
      pull(c) {
        pulled++;
        if (pulled === 3) controller.abort(reason);
        if (pulled > 50) c.close();
        else c.enqueue(message.subarray(0, 1024));
      },
    });
    await assert.rejects(drain(source.pipeThrough(make(controller.signal))), (e) => e === reason);
    assert.ok(pulled < 10, `${pulled} pieces read after the abort`);
  }
});

test('rekeyValues: read under the first history that reads, written under the target', () => {
  const old = cls.encryptValues(['alpha', '', 'Grüße'], { keys: [['old']] }).map((r) => r.value);
  const opts = { keys: [['none'], ['old']], target: ['old', 'new'] };
  const moved = cls.rekeyValues([...old, 'A1 G2', '00'.repeat(16)], opts);
  assert.deepEqual(moved.map((r) => r.ok), [true, true, true, false, false]);
  assert.deepEqual(moved.slice(0, 3).map((r) => r.candidate), [1, 1, 1]);
  assert.equal(moved[3].error.kind, 'InvalidArgument');
  assert.equal(moved[4].error.kind, 'WrongKeyOrDamaged');
  const back = cls.decryptValues(moved.slice(0, 3).map((r) => r.value), { keys: [['old', 'new']] });
  assert.deepEqual(back.map((r) => r.value), ['alpha', '', 'Grüße']);
  const base64 = cls.rekeyValues([old[0]], { ...opts, to: 'base64' });
  assert.match(base64[0].value, /^[A-Za-z0-9+/]+=*$/);
  assert.throws(() => cls.rekeyValues(old, { ...opts, form: 'hex' }), TypeError, 'rekey takes from/to');
});

test('values in one batch give what they gave one by one, failures with their own messages', () => {
  const texts = Array.from({ length: 300 }, (_, i) => (i % 7 === 0 ? '' : `value ${i} ${'é'.repeat(i % 5)}`));
  const written = cls.encryptValues(texts, { keys: ['k'], form: 'hex' });
  assert.ok(written.every((r) => r.ok));
  const mixed = written.map((r, i) => (i % 10 === 3 ? `${r.value.slice(0, 30)}ZZ` : r.value));
  const read = cls.decryptValues(mixed, { keys: [['x'], ['k']] });
  read.forEach((r, i) => {
    if (i % 10 === 3) {
      assert.equal(r.ok, false, `value ${i}`);
      assert.equal(r.error.kind, 'InvalidArgument', `value ${i}`);
      assert.equal(r.error.number, 5, `value ${i}`);
    } else {
      assert.deepEqual([r.ok, r.value, r.candidate], [true, texts[i], 1], `value ${i}`);
    }
  });
  const bytes = cls.encryptValues([new Uint8Array([1, 2, 3]), new Uint8Array(0)], { keys: ['k'], plain: 'bytes', form: 'bytes' });
  const plain = cls.decryptValues(bytes.map((r) => r.value), { keys: ['k'], plain: 'bytes', form: 'bytes' });
  assert.deepEqual(plain.map((r) => [...r.value]), [[1, 2, 3], []]);
  assert.deepEqual(cls.decryptValues([], { keys: ['k'] }), []);
});

// A batch crosses as one buffer when it is all ASCII and value by value
// otherwise, on the way in and on the way out: every shape reads back as
// the values one at a time do.
test('batches of every shape read back as their values one by one', () => {
  const ascii = Array.from({ length: 50 }, (_, i) => `row ${i}`.repeat(1 + (i % 4)));
  const batches = [
    ['all ASCII', ascii],
    ['one accented value in the middle', [...ascii.slice(0, 25), 'Grüße', ...ascii.slice(25)]],
    ['accents first and last', ['é', ...ascii, 'ÿ']],
    ['empty values between', ['', 'a', '', '', 'bc', '']],
    ['one value', ['x']],
  ];
  for (const [name, texts] of batches) {
    const written = cls.encryptValues(texts, { keys: ['k'] });
    assert.ok(written.every((r) => r.ok), name);
    const hex = written.map((r) => r.value);
    assert.deepEqual(hex, hex.map((h) => h.toUpperCase()), name);
    // A damaged value among them fails alone, and the rest still line up.
    const damaged = hex.map((h, i) => (i === 1 ? h.slice(0, -2) : h));
    const read = cls.decryptValues(damaged, { keys: ['k'] });
    read.forEach((r, i) => {
      const alone = cls.decryptValues([damaged[i]], { keys: ['k'] })[0];
      assert.equal(r.ok, alone.ok, `${name}: value ${i}`);
      if (i === 1 && texts.length > 1) assert.equal(r.ok, false, `${name}: value ${i}`);
      else assert.equal(r.value, texts[i], `${name}: value ${i}`);
    });
    const b64 = cls.rekeyValues(hex, { keys: ['k'], target: ['k2'], to: 'base64' }).map((r) => r.value);
    assert.deepEqual(cls.decryptValues(b64, { keys: ['k2'], form: 'base64' }).map((r) => r.value), texts, name);
  }
});

test('encryptValues asks the random source once per 256 bytes, not once per byte', () => {
  const crypto = globalThis.crypto;
  const own = Object.getOwnPropertyDescriptor(crypto, 'getRandomValues');
  const original = crypto.getRandomValues;
  let calls = 0;
  crypto.getRandomValues = function (array) {
    calls++;
    return original.call(crypto, array);
  };
  let written;
  try {
    written = cls.encryptValues(Array.from({ length: 1000 }, () => 'same'), { keys: ['k'] });
  } finally {
    if (own) Object.defineProperty(crypto, 'getRandomValues', own);
    else delete crypto.getRandomValues;
  }
  // Six random bytes a value: about 24 calls of 256 bytes.
  assert.ok(calls > 0 && calls <= 64, `${calls} calls for 1000 values`);
  assert.equal(new Set(written.map((r) => r.value)).size, 1000, 'the random words differ from value to value');
});
