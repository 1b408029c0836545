// Large data in pieces: the chunked streams against the one-shot operations.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { load } from '../src/index.mjs';

const cls = await load();

const join = (parts) => {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
};
// Cuts `bytes` into pieces of the given lengths, repeated.
function* pieces(bytes, lengths) {
  for (let at = 0, i = 0; at < bytes.length; i++) {
    const n = lengths[i % lengths.length];
    yield bytes.subarray(at, at + n);
    at += n;
  }
}

test('streams give what the one-shot operations give, cut any way', () => {
  const c = new cls.clsToString();
  c.Key = 'stream';
  for (const n of [0, 1, 4, 5, 12, 13, 100, 4099]) {
    const message = new Uint8Array(randomBytes(n));
    for (const cut of [[1], [3, 0, 7], [8], [16], [1000]]) {
      const enc = c.createEncryptStream(n);
      const cipher = join([...[...pieces(message, cut)].map((p) => enc.update(p)), enc.final()]);
      assert.equal(cipher.length, 8 * Math.ceil((n + 12) / 8));
      assert.deepEqual(c.DecryptByte(cipher), message, `encrypt ${n} by ${cut}`);
      for (const length of [cipher.length, undefined]) {
        const dec = c.createDecryptStream(length);
        const plain = join([...pieces(cipher, cut)].map((p) => dec.update(p)));
        assert.equal(dec.messageLength, n);
        dec.final();
        assert.deepEqual(plain, message, `decrypt ${n} by ${cut}, length ${length}`);
      }
    }
  }
});

// Decryption runs of 512 bytes and more take a kernel of their own in this
// build, four blocks at a time, and the runs end where progress is reported
// (every 1 %): ciphertexts of 64 KiB and more give such runs, of every
// remainder of blocks, whole and continued after a cut mid-message.
test('long decryption runs, whole and continued after a cut', () => {
  const c = new cls.clsToString();
  c.Key = 'long runs';
  for (let blocks = 8192; blocks < 8196; blocks++) {
    const message = new Uint8Array(randomBytes(8 * blocks - 12));
    const cipher = c.EncryptByte(message);
    assert.deepEqual(c.DecryptByte(cipher), message, `${blocks} blocks whole`);
    const dec = c.createDecryptStream(cipher.length);
    const plain = join([...pieces(cipher, [8 * 1001 + 5, 8 * blocks])].map((p) => dec.update(p)));
    dec.final();
    assert.deepEqual(plain, message, `${blocks} blocks after a cut`);
  }
});

test('a wrong key fails the decryption stream at the second block, with nothing out', () => {
  const w = new cls.clsToString();
  const cipher = w.EncryptByte(new Uint8Array(1000), 'right');
  const r = new cls.clsToString();
  const dec = r.createDecryptStream(cipher.length, 'wrong');
  assert.equal(dec.update(cipher.subarray(0, 15)).length, 0);
  assert.throws(() => dec.update(cipher.subarray(15, 100)), (e) => e.kind === 'WrongKeyOrDamaged' && e.number === -2147221504);
  assert.throws(() => dec.update(cipher.subarray(100)), (e) => e.number === 5, 'a failed stream stays failed');
  // A ciphertext cut short fails at the end, as DecryptByte fails on it.
  const cut = new cls.clsToString().createDecryptStream(undefined, 'right');
  cut.update(cipher.subarray(0, cipher.length - 8));
  assert.throws(() => cut.final(), (e) => e.kind === 'WrongKeyOrDamaged' && e.number === -2147221504);
});

test('encryptLarge and decryptLarge: a Blob and a ReadableStream in bounded pieces, with progress', async () => {
  const c = new cls.clsToString();
  const message = new Uint8Array(randomBytes(3 * 1024 * 1024 + 5));
  const seen = [];
  c.Progress.subscribe((p) => seen.push(p));
  const out = [];
  await c.encryptLarge(new Blob([message]), { key: 'large', pieceSize: 256 * 1024, onChunk: (b) => out.push(b) });
  assert.ok(out.every((b) => b.length <= 256 * 1024 + 16), 'output comes in pieces');
  const cipher = join(out);
  const oneShot = [];
  const d = new cls.clsToString();
  d.Progress.subscribe((p) => oneShot.push(p));
  assert.deepEqual(d.DecryptByte(cipher, 'large'), message);
  assert.deepEqual(seen, oneShot, 'the same progress values as the whole array');
  assert.equal(seen.at(-1), 100);

  const back = [];
  const source = new Blob([cipher]).stream();
  await c.decryptLarge(source, { onChunk: (b) => back.push(b) });
  assert.deepEqual(join(back), message);
  await assert.rejects(
    c.decryptLarge([cipher.subarray(0, 64)], {
      key: 'other',
      length: 64,
      onChunk: () => assert.fail('output under a wrong key'),
    }),
    (e) => e.kind === 'WrongKeyOrDamaged',
  );
  await assert.rejects(c.encryptLarge([message], { onChunk() {} }), TypeError, 'encrypting needs the length');
});
