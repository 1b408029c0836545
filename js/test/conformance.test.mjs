// The cases every surface shares (tests/data/conformance.json), run through
// each JavaScript entry point: known answers, keys the code page cannot
// carry, slices of a ciphertext whose errors must not hold a deciphered
// byte, damaged ciphertexts and the one reading rule for ciphertext hex.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { load } from '../src/index.mjs';

const cls = await load();
const cases = JSON.parse(readFileSync(new URL('../../tests/data/conformance.json', import.meta.url), 'utf8'));
const fromHex = (h) => Uint8Array.from((h.match(/../g) ?? []).map((b) => parseInt(b, 16)));
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
async function rejected(promise) {
  try {
    await promise;
  } catch (e) {
    assert.ok(e instanceof cls.RuntimeError, `not a RuntimeError: ${e}`);
    return e;
  }
  assert.fail('nothing raised');
}
function keyed(c, options = {}) {
  const cipher = new cls.clsToString({ codepage: c.codepage, ...options });
  for (const k of c.keys) cipher.Key = k;
  return cipher;
}

test('known answers read through every entry point, unmappable keys refused by default', async () => {
  for (const c of cases.known_answers) {
    const cipher = fromHex(c.cipher);
    const one = keyed(c); // refusing: every key here is carried by its code page
    assert.equal(toHex(one.DecryptByte(cipher)), c.message, `${c.name}: DecryptByte`);
    // The ciphertext as the legacy strings carry it: code-page text, one character per byte.
    const plain = one.DecryptString(one.HexToStr(c.cipher));
    assert.equal(one.StrToHex(plain, ''), c.message, `${c.name}: DecryptString`);
    assert.equal(toHex(one.DecryptByte(cls.readHex(c.cipher.match(/../g)?.join(' ') ?? ''))), c.message,
      `${c.name}: through readHex`);

    for (const length of [cipher.length, undefined]) {
      const s = one.createDecryptStream(length);
      const parts = [];
      for (let at = 0; at < cipher.length; at += 7) parts.push(s.update(cipher.subarray(at, at + 7)));
      s.final();
      assert.equal(toHex(join(parts)), c.message, `${c.name}: stream, length ${length}`);
    }
    const large = [];
    await one.decryptLarge([cipher.subarray(0, 9), cipher.subarray(9)], { onChunk: (b) => large.push(b) });
    assert.equal(toHex(join(large)), c.message, `${c.name}: decryptLarge`);
    one.dispose();

    // The key history given with the operations, on a fresh instance each.
    const fresh = new cls.clsToString({ codepage: c.codepage });
    for (const k of c.keys.slice(0, -1)) fresh.Key = k;
    const last = c.keys.at(-1);
    assert.equal(toHex(fresh.DecryptByte(cipher, last)), c.message, `${c.name}: key given with DecryptByte`);

    for (const form of ['hex', 'bytes']) {
      const [r] = cls.decryptValues([form === 'hex' ? c.cipher : cipher], {
        keys: [c.keys],
        codepage: c.codepage,
        form,
        plain: 'bytes',
      });
      assert.ok(r.ok, `${c.name}: decryptValues (${form}): ${r.error}`);
      assert.equal(toHex(r.value), c.message, `${c.name}: decryptValues (${form})`);
    }
  }
});

test('keys and texts the code page lacks: kind Unmappable, the position and a holder, never the character', async () => {
  // "abc" with no key, from the shared known answers.
  const unkeyed = fromHex(cases.known_answers.find((k) => k.keys.length === 0 && k.message === '616263').cipher);
  for (const c of cases.unmappable_keys) {
    const unusual = [...c.key].filter((ch) => ch.codePointAt(0) >= 0x80);
    const cipher = fromHex(c.cipher_with_replacement);
    const expectRefusal = (e, what, where) => {
      assert.equal(e.kind, 'Unmappable', `${c.name}: ${where}`);
      assert.equal(e.kindCode, cls.ErrorKind.Unmappable);
      assert.equal(e.number, 5, `${c.name}: ${where}`);
      assert.match(e.message, new RegExp(`${what} has a character at position ${c.position}\\b`), `${c.name}: ${where}`);
      assert.match(e.message, new RegExp(`code page ${c.codepage} lacks`), `${c.name}: ${where}`);
      if (c.holder !== null) {
        assert.match(e.message, new RegExp(`code page ${c.holder} has it`), `${c.name}: ${where}`);
      }
      for (const ch of unusual) assert.ok(!e.message.includes(ch), `${c.name}: ${where} names the character`);
    };

    const page = { codepage: c.codepage };
    const refusing = new cls.clsToString(page);
    expectRefusal(raised(() => (refusing.Key = c.key)), 'the key', 'Key()');
    // Nothing changed: the instance still reads what was written without a key.
    assert.equal(bytesAsText(refusing.DecryptByte(unkeyed)), 'abc', `${c.name}: the refused key left a trace`);
    expectRefusal(raised(() => refusing.DecryptByte(cipher, c.key)), 'the key', 'DecryptByte with the key');
    expectRefusal(raised(() => refusing.EncryptByte(new Uint8Array(3), c.key)), 'the key', 'EncryptByte with the key');
    expectRefusal(raised(() => refusing.createDecryptStream(cipher.length, c.key)), 'the key', 'createDecryptStream');
    expectRefusal(await rejected(refusing.decryptLarge([cipher], { key: c.key, onChunk() {} })), 'the key',
      'decryptLarge');
    expectRefusal(raised(() => refusing.EncryptString(c.key)), 'the text', 'EncryptString of the text');
    expectRefusal(raised(() => refusing.StrToHex(c.key)), 'the text', 'StrToHex of the text');
    refusing.dispose();

    expectRefusal(raised(() => cls.decryptValues([c.cipher_with_replacement], { keys: [c.key], ...page })),
      'the key', 'decryptValues');
    expectRefusal(raised(() => cls.encryptValues(['x'], { keys: [['ok', c.key]], ...page })), 'the key',
      'encryptValues, second key of a history');
    const [text] = cls.encryptValues([c.key], { keys: ['k'], ...page });
    assert.equal(text.ok, false, `${c.name}: encryptValues took the text`);
    expectRefusal(text.error, 'the text', 'encryptValues of the text');

    // Asked for, the legacy "?" takes the character's place everywhere.
    const replacing = new cls.clsToString({ ...page, replaceUnmappable: true });
    replacing.Key = c.key;
    assert.equal(toHex(replacing.DecryptByte(cipher)), c.message, `${c.name}: with replacement`);
    assert.equal(replacing.StrToHex(c.key, '').length, 2 * c.key.length, `${c.name}: StrToHex with replacement`);
    replacing.dispose();
    const [r] = cls.decryptValues([c.cipher_with_replacement], {
      keys: [c.key],
      ...page,
      plain: 'bytes',
      replaceUnmappable: true,
    });
    assert.ok(r.ok, `${c.name}: decryptValues with replacement: ${r.error}`);
    assert.equal(toHex(r.value), c.message, `${c.name}: decryptValues with replacement`);
  }
});

// Every slice of whole blocks (16 bytes and more) at every byte offset of a
// ciphertext, read with the right keys: no error message holds the size
// descriptor those bytes decipher to nor any piece of the plaintext.
test('no error message holds a deciphered byte, whichever slice is read and however', async () => {
  const c = cases.spliced;
  const cipher = fromHex(c.cipher);
  assert.equal(toHex(keyed(c).DecryptByte(cipher)), c.message, 'the whole ciphertext reads');
  const one = keyed(c);
  let failures = 0;
  let checked = 0;
  const check = (e, where) => {
    checked++;
    const said = [e.name, e.message, e.description, String(e)].join('\n');
    for (const f of c.forbidden) assert.ok(!said.includes(f), `${where}: "${f}" in ${JSON.stringify(said)}`);
  };
  for (let at = 0; at + 16 <= cipher.length; at++) {
    for (let len = 16; at + len <= cipher.length; len += 8) {
      if (at === 0 && len === cipher.length) continue;
      const slice = cipher.slice(at, at + len);
      const where = `offset ${at}, length ${len}`;
      try {
        one.DecryptByte(slice);
      } catch (e) {
        failures++;
        assert.equal(e.kind, 'WrongKeyOrDamaged', where);
        check(e, `${where}, DecryptByte`);
      }
      try {
        one.DecryptString(one.HexToStr(toHex(slice)));
      } catch (e) {
        check(e, `${where}, DecryptString`);
      }
      for (const length of [len, undefined]) {
        try {
          const s = one.createDecryptStream(length);
          try {
            s.update(slice);
            s.final();
          } finally {
            s.dispose();
          }
        } catch (e) {
          check(e, `${where}, stream of length ${length}`);
        }
      }
      try {
        await one.decryptLarge([slice.subarray(0, 5), slice.subarray(5)], { onChunk() {} });
      } catch (e) {
        check(e, `${where}, decryptLarge`);
      }
      for (const [form, value] of [['bytes', slice], ['hex', toHex(slice)], ['string', bytesAsText(slice)]]) {
        // The stored form 'string' is EncryptString's text (given as a string).
        const [r] = cls.decryptValues([value], { keys: [c.keys], form, plain: 'bytes' });
        if (!r.ok) check(r.error, `${where}, decryptValues (${form})`);
        const [t] = cls.decryptValues([value], { keys: [c.keys], form, plain: 'text' });
        if (!t.ok) check(t.error, `${where}, decryptValues (${form}, text)`);
      }
    }
  }
  assert.ok(failures > 10, `only ${failures} slices failed`);
  assert.ok(checked > 100, `only ${checked} messages checked`);
});

test('damaged ciphertexts fail with their kind, read from hex by the library', () => {
  const keys = cases.spliced.keys;
  for (const c of cases.damaged) {
    const [r] = cls.decryptValues([c.cipher], { keys: [keys], form: 'hex', plain: 'bytes' });
    assert.equal(r.ok, false, c.name);
    assert.equal(r.error.kind, c.kind, `${c.name}: decryptValues`);
    const one = new cls.clsToString();
    assert.equal(raised(() => one.DecryptByte(cls.readHex(c.cipher), keys[0])).kind, c.kind, `${c.name}: DecryptByte`);
  }
});

test('ciphertext hex reads by the one rule: readHex and the values agree', () => {
  for (const c of cases.hex) {
    const where = JSON.stringify(c.text);
    // A value stored as hex is read by the same rule: text that reads as
    // bytes is then no ciphertext (too short), text that does not is refused.
    const [v] = cls.decryptValues([c.text], { keys: ['k'], form: 'hex' });
    assert.equal(v.ok, false, where);
    if ('bytes' in c) {
      assert.equal(toHex(cls.readHex(c.text)), c.bytes, where);
      assert.equal(v.error.kind, 'WrongKeyOrDamaged', where);
    } else {
      const e = raised(() => cls.readHex(c.text));
      assert.equal(e.kind, 'InvalidArgument', where);
      assert.equal(e.number, 5, where);
      if (c.error_position <= c.text.length) assert.match(e.message, new RegExp(`position ${c.error_position}\\b`), where);
      assert.equal(v.error.kind, 'InvalidArgument', where);
    }
  }
  assert.throws(() => cls.readHex(41), TypeError);
});
