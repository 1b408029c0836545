// Figures for the value functions and the cost of an instance. Not a test.
//   node js/bench/values.mjs              decryptValues against a DecryptByte loop; instances
//   node js/bench/values.mjs --peak MiB [CALL]
//                                         one call on MiB (run under /usr/bin/time -v): CALL is encrypt,
//                                         EncryptByte, DecryptByte (bytes), or encryptString, decryptString,
//                                         EncryptString, DecryptString, StrToHex, HexToStr (a text of MiB
//                                         mebi-characters of ASCII, a one-byte string of MiB MiB in V8).
//                                         A decryption reads what the matching encryption wrote, which
//                                         stays in memory too; the second line says what it takes.
// native_values.c beside it times the C interface's batch on the same values.
import { Worker } from 'node:worker_threads';
import { load } from '../src/index.mjs';

const cls = await load();

if (process.argv[2] === '--peak') {
  const size = Number(process.argv[3]) * 1024 * 1024;
  const call = process.argv[4] ?? 'encrypt';
  const c = new cls.clsToString();
  c.Key = 'k';
  let input;
  let run;
  if (['encrypt', 'EncryptByte', 'DecryptByte'].includes(call)) {
    const data = new Uint8Array(size).fill(1); // every page touched
    input = call === 'DecryptByte' ? cls.encrypt(data, { keys: ['k'] }) : data;
    run = {
      encrypt: () => cls.encrypt(data, { keys: ['k'] }),
      EncryptByte: () => c.EncryptByte(data),
      DecryptByte: () => c.DecryptByte(input),
    }[call];
  } else {
    const text = 'customer row ok, '.repeat(Math.ceil(size / 17)).slice(0, size);
    const sealed = () => cls.encryptString(text, { keys: ['k'] });
    const made = {
      encryptString: () => text,
      EncryptString: () => text,
      StrToHex: () => text,
      decryptString: sealed,
      DecryptString: sealed,
      HexToStr: () => c.StrToHex(text, ''),
    }[call];
    if (made === undefined) throw new Error(`unknown call ${call}`);
    input = made();
    input.charCodeAt(0); // flat
    run = {
      encryptString: () => cls.encryptString(input, { keys: ['k'] }),
      decryptString: () => cls.decryptString(input, { keys: ['k'] }),
      EncryptString: () => c.EncryptString(input),
      DecryptString: () => c.DecryptString(input),
      StrToHex: () => c.StrToHex(input),
      HexToStr: () => c.HexToStr(input),
    }[call];
  }
  // The call's own peak: a worker samples the resident size every
  // millisecond while it runs (the high-water mark would still hold what
  // making a decryption's input took).
  globalThis.gc?.();
  const shared = new Int32Array(new SharedArrayBuffer(8));
  const sampler = new Worker(`
    const { workerData } = require('node:worker_threads');
    const a = new Int32Array(workerData);
    Atomics.store(a, 1, 1);
    while (Atomics.load(a, 1) === 1) {
      const kib = Math.floor(process.memoryUsage.rss() / 1024);
      if (kib > Atomics.load(a, 0)) Atomics.store(a, 0, kib);
      Atomics.wait(a, 1, 1, 1);
    }`, { eval: true, workerData: shared.buffer });
  while (Atomics.load(shared, 1) !== 1) await new Promise((r) => setTimeout(r, 5));
  const base = process.memoryUsage.rss();
  Atomics.store(shared, 0, 0);
  const out = run();
  const grown = Math.max(Atomics.load(shared, 0) * 1024, process.memoryUsage.rss()) - base;
  Atomics.store(shared, 1, 2);
  await sampler.terminate();
  const units = input.length;
  console.log(out.length > 0 ? 'ok' : 'wrong');
  console.log(`${call}: ${(grown / 2 ** 20).toFixed(0)} MiB more resident at the call's peak for an input of ${units} ` +
    `${typeof input === 'string' ? 'characters' : 'bytes'} (${(grown / units).toFixed(2)}x its length, ` +
    `${(grown / (typeof input === 'string' ? 2 * units : units)).toFixed(2)}x its size as UTF-16 or bytes)`);
  process.exit(0);
}

const best = (f, runs = 3) => {
  let ms = Infinity;
  for (let i = 0; i < runs; i++) {
    const t = performance.now();
    f();
    ms = Math.min(ms, performance.now() - t);
  }
  return ms;
};
const N = 100_000;
const texts = Array.from({ length: N }, (_, i) => `customer ${String(i).padStart(8, '0')} row ok`.slice(0, 23));
let hex;
const written = best(() => {
  hex = cls.encryptValues(texts, { keys: [['k']] }).map((r) => r.value);
});
console.log(`${N} values of ${texts[0].length} characters, ${hex[0].length} hex digits each`);

const batch = best(() => cls.decryptValues(hex, { keys: [['k']] }));
const c = new cls.clsToString();
c.Key = 'k';
const decoder = new TextDecoder();
const loop = best(() => hex.map((h) => decoder.decode(c.DecryptByte(cls.readHex(h)))));
console.log(`encryptValues ${(written * 1000 / N).toFixed(2)} us a value`);
console.log(`decryptValues ${(batch * 1000 / N).toFixed(2)} us a value; DecryptByte loop ${(loop * 1000 / N).toFixed(2)} ` +
  `us a value (${(loop / batch).toFixed(1)}x)`);

const M = 20_000;
globalThis.gc?.();
const before = process.memoryUsage();
const t = performance.now();
const made = Array.from({ length: M }, () => new cls.clsToString());
const ms = performance.now() - t;
globalThis.gc?.();
const after = process.memoryUsage();
console.log(`new clsToString(): ${(ms * 1000 / M).toFixed(1)} us each, ` +
  `${((after.heapUsed - before.heapUsed) / M).toFixed(0)} B of V8 heap and ` +
  `${((after.arrayBuffers - before.arrayBuffers) / M).toFixed(0)} B of WebAssembly memory each (${made.length} alive)`);
const keyed = best(() => {
  for (let i = 0; i < 1000; i++) made[i].Key = 'k';
}, 1);
console.log(`a key set-up: ${(keyed).toFixed(1)} us each`);
for (const m of made) m.dispose();
