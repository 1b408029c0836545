// The npm package's side of `make bench-all`: one repetition of each
// measurement, printed as JSON for bench/all/bench_all.py.
//   node [--openssl-legacy-provider] bench/all/node_bench.mjs values N
//     decryptValues over N values against a loop over Node's crypto
//     bf-cbc doing the same work per value (hex in, text out), seconds each;
//     the loop is null when Node's OpenSSL has no bf-cbc.
//   node bench/all/node_bench.mjs stream MiB
//     the decryption stream over MiB in 1 MiB pieces, bytes a second.
import { createDecipheriv, createCipheriv, randomBytes } from 'node:crypto';
import { load } from '../../js/src/index.mjs';

const cls = await load();
const [what, size] = [process.argv[2], Number(process.argv[3])];
const key = 'benchmark key';

function seconds(f) {
  const t = performance.now();
  const result = f();
  return [(performance.now() - t) / 1000, result];
}

if (what === 'values') {
  const texts = Array.from({ length: size }, (_, i) => `user${String(i).padStart(7, '0')}@example.org`);
  const ours = cls.encryptValues(texts, { keys: [[key]] }).map((r) => r.value);
  const [bulk, results] = seconds(() => cls.decryptValues(ours, { keys: [[key]] }));
  if (results.some((r, i) => r.value !== texts[i])) throw new Error('decryptValues: a result differs');
  let loop = null;
  let note = '';
  try {
    // Node's values have the length of ours: an 8-byte initial value, then the
    // text zero-filled to as many blocks as our layout takes.
    const keyBytes = Buffer.from(key);
    const theirs = texts.map((t) => {
      const iv = randomBytes(8);
      const plain = Buffer.alloc(Math.ceil((t.length + 12) / 8) * 8 - 8);
      plain.write(t, 'latin1');
      const c = createCipheriv('bf-cbc', keyBytes, iv);
      c.setAutoPadding(false);
      return Buffer.concat([iv, c.update(plain), c.final()]).toString('hex').toUpperCase();
    });
    let back;
    [loop, back] = seconds(() =>
      theirs.map((h) => {
        const data = Buffer.from(h, 'hex');
        const d = createDecipheriv('bf-cbc', keyBytes, data.subarray(0, 8));
        d.setAutoPadding(false);
        const plain = Buffer.concat([d.update(data.subarray(8)), d.final()]);
        let end = plain.length;
        while (end > 0 && plain[end - 1] === 0) end--;
        return plain.toString('latin1', 0, end);
      }));
    if (back.some((t, i) => t !== texts[i])) throw new Error('the crypto loop: a result differs');
  } catch (e) {
    if (e.code !== 'ERR_OSSL_EVP_UNSUPPORTED') throw e;
    note = "Node's OpenSSL has no bf-cbc without the legacy provider";
  }
  console.log(JSON.stringify({ bulk, loop, note }));
} else if (what === 'stream') {
  const MiB = 1024 * 1024;
  const message = new Uint8Array(size * MiB);
  for (let i = 0; i < message.length; i += 4096) message[i] = i & 0xff;
  const c = new cls.clsToString();
  c.Key = key;
  const cipher = c.EncryptByte(message);
  const [s] = seconds(() => {
    const dec = c.createDecryptStream(cipher.length);
    for (let at = 0; at < cipher.length; at += MiB) dec.update(cipher.subarray(at, at + MiB));
    dec.final();
  });
  c.dispose();
  console.log(JSON.stringify({ rate: message.length / s }));
} else {
  throw new Error('usage: node_bench.mjs values N | stream MiB');
}
