// Throughput of the WebAssembly build in Node, and a large file through the
// chunked streams in bounded memory. Not a test: figures for docs and the
// README, compared by hand with the native library's portable kernels.
//   node js/bench/throughput.mjs [MiB]            EncryptByte/DecryptByte and streams
//   node js/bench/throughput.mjs --file PATH      encrypt PATH to PATH.cls and back, in pieces
import { createReadStream, createWriteStream, statSync } from 'node:fs';
import { once } from 'node:events';
import { load } from '../src/index.mjs';

const cls = await load();
const MiB = 1024 * 1024;

// Wall-clock rate, and the rate per second of this process's processor
// time (steadier on a shared machine; compare it with the native tool's
// user + system time).
let cpuAtStart = process.cpuUsage();
function rate(bytes, ms) {
  const cpu = process.cpuUsage(cpuAtStart);
  cpuAtStart = process.cpuUsage();
  const cpuSeconds = (cpu.user + cpu.system) / 1e6;
  return `${(bytes / MiB / (ms / 1000)).toFixed(1)} MiB/s wall, ${(bytes / MiB / cpuSeconds).toFixed(1)} MiB/s of processor time`;
}

async function memoryBench(mib) {
  const message = new Uint8Array(mib * MiB);
  for (let i = 0; i < message.length; i += 4096) message[i] = i & 0xff;
  const c = new cls.clsToString();
  c.Key = 'benchmark key';
  cpuAtStart = process.cpuUsage();
  let t = performance.now();
  const cipher = c.EncryptByte(message);
  console.log(`EncryptByte ${mib} MiB: ${rate(message.length, performance.now() - t)}`);
  t = performance.now();
  cpuAtStart = process.cpuUsage();
  const back = c.DecryptByte(cipher);
  console.log(`DecryptByte ${mib} MiB: ${rate(message.length, performance.now() - t)}`);
  if (back.length !== message.length) throw new Error('round trip failed');

  const piece = MiB;
  t = performance.now();
  cpuAtStart = process.cpuUsage();
  const enc = c.createEncryptStream(message.length);
  for (let at = 0; at < message.length; at += piece) enc.update(message.subarray(at, at + piece));
  enc.final();
  console.log(`encrypt stream ${mib} MiB in 1 MiB pieces: ${rate(message.length, performance.now() - t)}`);
  t = performance.now();
  cpuAtStart = process.cpuUsage();
  const dec = c.createDecryptStream(cipher.length);
  for (let at = 0; at < cipher.length; at += piece) dec.update(cipher.subarray(at, at + piece));
  dec.final();
  console.log(`decrypt stream ${mib} MiB in 1 MiB pieces: ${rate(message.length, performance.now() - t)}`);
  c.dispose();
}

// Streams `from` through a stream of `c` into `to`, a piece at a time.
async function pipeFile(c, encrypt, from, to) {
  const size = statSync(from).size;
  const out = createWriteStream(to);
  const stream = encrypt ? c.createEncryptStream(size) : c.createDecryptStream(size);
  for await (const piece of createReadStream(from, { highWaterMark: MiB })) {
    const bytes = stream.update(piece);
    if (!out.write(bytes)) await once(out, 'drain');
  }
  out.write(stream.final());
  out.end();
  await once(out, 'finish');
  return size;
}

async function fileBench(path) {
  const c = new cls.clsToString();
  c.Key = 'benchmark key';
  cpuAtStart = process.cpuUsage();
  let t = performance.now();
  const n = await pipeFile(c, true, path, `${path}.cls`);
  console.log(`encrypt ${path} (${(n / MiB).toFixed(0)} MiB) in pieces: ${rate(n, performance.now() - t)}`);
  t = performance.now();
  cpuAtStart = process.cpuUsage();
  await pipeFile(c, false, `${path}.cls`, `${path}.back`);
  console.log(`decrypt it back in pieces: ${rate(n, performance.now() - t)}`);
  c.dispose();
}

if (process.argv[2] === '--file') await fileBench(process.argv[3]);
else await memoryBench(Number(process.argv[2] ?? 64));
