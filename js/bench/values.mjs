// Figures for the value functions and the cost of an instance. Not a test.
//   node js/bench/values.mjs              decryptValues against a DecryptByte loop; instances
//   node js/bench/values.mjs --peak MiB [encrypt|EncryptByte|DecryptByte]
//                                         one call on MiB (run under /usr/bin/time -v; DecryptByte
//                                         reads what encrypt wrote, which stays in memory too)
// native_values.c beside it times the C interface's batch on the same values.
import { load } from '../src/index.mjs';

const cls = await load();

if (process.argv[2] === '--peak') {
  const data = new Uint8Array(Number(process.argv[3]) * 1024 * 1024).fill(1); // every page touched
  const call = process.argv[4] ?? 'encrypt';
  const c = new cls.clsToString();
  c.Key = 'k';
  let out;
  if (call === 'encrypt') out = cls.encrypt(data, { keys: ['k'] });
  else if (call === 'EncryptByte') out = c.EncryptByte(data);
  else if (call === 'DecryptByte') out = c.DecryptByte(cls.encrypt(data, { keys: ['k'] }));
  else throw new Error(`unknown call ${call}`);
  console.log(out.length >= data.length ? 'ok' : 'wrong');
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
