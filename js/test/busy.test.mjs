// An instance inside an operation refuses what would change its key or
// tables or free it (kind Busy) while the operation completes correctly;
// the large operations hold it busy until they settle and stop on an
// AbortSignal, leaving it usable.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { setImmediate as tick } from 'node:timers/promises';
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
function* pieces(bytes, size) {
  for (let at = 0; at < bytes.length; at += size) yield bytes.subarray(at, at + size);
}
// The error `f` raises, or null.
function caught(f) {
  try {
    f();
  } catch (e) {
    return e;
  }
  return null;
}
async function caughtAsync(f) {
  try {
    await f();
  } catch (e) {
    return e;
  }
  return null;
}
function assertBusy(e, what) {
  assert.ok(e instanceof cls.RuntimeError, `${what}: not refused (${e})`);
  assert.equal(e.kind, 'Busy', `${what}: ${e.message}`);
  assert.equal(e.kindCode, cls.ErrorKind.Busy);
  assert.equal(e.number, 5, what);
}

const message = new Uint8Array(randomBytes(600 * 1024 + 3));
const writer = new cls.clsToString();
const cipher = writer.EncryptByte(message, 'right');
const other = writer.EncryptByte(new Uint8Array([1, 2, 3]), 'other');

// Calls that would change the key or tables of `c`, or free it.
const changes = (c) => [
  ['Key()', () => (c.Key = 'other')],
  ['dispose()', () => c.dispose()],
  ['DecryptByte with a key', () => c.DecryptByte(other, 'other')],
  ['EncryptString with a key', () => c.EncryptString('x', 'other')],
  ['createDecryptStream with a key', () => c.createDecryptStream(undefined, 'other')],
];

test('inside a Progress listener of a one-shot operation: every change is refused and the result is right', () => {
  for (const encrypt of [false, true]) {
    const c = new cls.clsToString();
    c.Key = 'right';
    const refused = new Map();
    c.Progress.subscribe(() => {
      for (const [name, f] of changes(c)) if (!refused.has(name)) refused.set(name, caught(f));
    });
    const out = encrypt ? c.DecryptByte(c.EncryptByte(message)) : c.DecryptByte(cipher);
    assert.deepEqual(out, message, encrypt ? 'EncryptByte' : 'DecryptByte');
    assert.equal(refused.size, changes(c).length);
    for (const [name, e] of refused) assertBusy(e, name);
    // Afterwards the instance takes keys and frees as ever.
    c.Key = 'another';
    c.dispose();
    assert.equal(caught(() => (c.Key = 'x')).number, 5, 'disposed after all');
  }
});

test('an uncaught Busy refusal in a listener stops that operation like any listener exception, and nothing else', () => {
  const c = new cls.clsToString();
  c.Key = 'right';
  const off = c.Progress.subscribe(() => c.dispose());
  assertBusy(caught(() => c.DecryptByte(cipher)), 'dispose() left to propagate');
  off();
  assert.deepEqual(c.DecryptByte(cipher), message, 'the instance was not freed');
  c.dispose();
});

test('a stream cannot be freed or re-entered from a listener of its own update', () => {
  const c = new cls.clsToString();
  c.Key = 'right';
  const s = c.createDecryptStream(cipher.length);
  const refused = [];
  c.Progress.subscribe(() => {
    if (refused.length === 0) {
      refused.push(['stream dispose()', caught(() => s.dispose())]);
      refused.push(['stream update()', caught(() => s.update(new Uint8Array(8)))]);
      refused.push(['instance dispose()', caught(() => c.dispose())]);
    }
  });
  const out = join([...pieces(cipher, 100 * 1024)].map((p) => s.update(p)));
  s.final();
  assert.deepEqual(out, message);
  assert.equal(refused.length, 3);
  for (const [name, e] of refused) assertBusy(e, name);
  // An open stream the caller holds keeps the key from changing (the library's rule).
  const open = c.createEncryptStream(10);
  assertBusy(caught(() => (c.Key = 'other')), 'Key() with a stream open');
  open.dispose();
  c.Key = 'other';
  c.dispose();
});

test('while decryptLarge or encryptLarge runs: refused from listeners, from onChunk and from other tasks', async () => {
  for (const encrypt of [false, true]) {
    const name = encrypt ? 'encryptLarge' : 'decryptLarge';
    const c = new cls.clsToString();
    c.Key = 'right';
    const refused = [];
    const tried = new Set();
    const attempt = (where, list) => {
      for (const [what, f] of list) {
        const label = `${name}, ${where}: ${what}`;
        if (tried.has(label)) continue;
        tried.add(label);
        refused.push([label, caught(f)]);
      }
    };
    const off = c.Progress.subscribe(() => attempt('listener', changes(c)));
    const out = [];
    let chunks = 0;
    let last = null;
    const source = encrypt ? message : cipher;
    const running = (encrypt ? c.encryptLarge : c.decryptLarge).call(c, pieces(source, 64 * 1024), {
      length: source.length,
      pieceSize: 64 * 1024,
      onChunk: async (b) => {
        out.push(b);
        chunks++;
        attempt('onChunk', changes(c));
        last = b;
        await tick();
      },
    });
    // Another task, between the pieces.
    await tick();
    attempt('another task', changes(c));
    const second = await caughtAsync(() => c.decryptLarge([other], { key: 'other', onChunk() {} }));
    refused.push([`${name}, another task: a second decryptLarge with a key`, second]);
    await running;
    off();
    assert.ok(chunks > 3, `${name}: output came in pieces`);
    assert.ok(last !== null);
    const result = join(out);
    assert.deepEqual(encrypt ? c.DecryptByte(result) : result, message, `${name}: the output`);
    assert.equal(refused.length, 3 * changes(c).length + 1);
    for (const [label, e] of refused) assertBusy(e, label);
    // Settled: usable again, and freed on request.
    c.Key = 'another';
    c.dispose();
  }
});

test('encryptLarge holds the instance busy until it settles, even after its stream has closed', async () => {
  const c = new cls.clsToString();
  const seen = [];
  const done = c.encryptLarge([new Uint8Array(5)], {
    length: 5,
    key: 'k',
    onChunk: async () => {
      // The last piece comes from final(), once the stream is closed.
      await tick();
      seen.push(caught(() => (c.Key = 'other')), caught(() => c.dispose()));
    },
  });
  await done;
  assert.ok(seen.length >= 2);
  for (const e of seen) assertBusy(e, 'Key()/dispose() before encryptLarge settled');
  c.dispose();
});

test('a failed large operation releases the instance', async () => {
  const c = new cls.clsToString();
  c.Key = 'right';
  const e = await caughtAsync(() => c.decryptLarge([other], { onChunk() {} }));
  assert.equal(e?.kind, 'WrongKeyOrDamaged');
  assert.deepEqual(c.DecryptByte(cipher), message);
  c.Key = 'another';
  c.dispose();
});

test('an AbortSignal stops a large operation with its reason and leaves the instance usable', async () => {
  const reasons = [
    ['a reason of its own', new Error('stop here'), (e, r) => e === r],
    ['no reason', undefined, (e) => e instanceof DOMException && e.name === 'AbortError'],
  ];
  for (const encrypt of [false, true]) {
    for (const [label, reason, isReason] of reasons) {
      const name = `${encrypt ? 'encryptLarge' : 'decryptLarge'}, ${label}`;
      const c = new cls.clsToString();
      c.Key = 'right';
      const controller = new AbortController();
      let pulled = 0;
      let closed = false;
      const source = encrypt ? message : cipher;
      async function* slowly() {
        try {
          for (const p of pieces(source, 32 * 1024)) {
            pulled++;
            yield p;
          }
        } finally {
          closed = true;
        }
      }
      let chunks = 0;
      const e = await caughtAsync(() =>
        c[encrypt ? 'encryptLarge' : 'decryptLarge'](slowly(), {
          length: source.length,
          signal: controller.signal,
          onChunk: () => {
            chunks++;
            if (chunks === 2) controller.abort(reason);
          },
        }),
      );
      assert.ok(isReason(e, reason), `${name}: rejected with ${e}`);
      assert.equal(chunks, 2, `${name}: work went on after the abort`);
      assert.ok(pulled <= 3, `${name}: ${pulled} pieces read after the abort`);
      assert.ok(closed, `${name}: the source was not closed`);
      // Usable: a key can be set, a whole run completes, it can be freed.
      c.Key = 'right';
      const out = [];
      await c.decryptLarge([cipher], { onChunk: (b) => out.push(b), signal: new AbortController().signal });
      assert.deepEqual(join(out), message, `${name}: after the abort`);
      c.dispose();
    }
  }
});

test('an abort from a Progress listener stops inside a large piece; an aborted signal stops before anything', async () => {
  const big = new Uint8Array(8 * 1024 * 1024);
  const c = new cls.clsToString();
  c.Key = 'right';
  const bigCipher = c.EncryptByte(big);
  const controller = new AbortController();
  let highest = 0;
  const off = c.Progress.subscribe((p) => {
    highest = Math.max(highest, p);
    if (p >= 10) controller.abort(new Error('enough'));
  });
  const e = await caughtAsync(() =>
    c.decryptLarge([bigCipher], {
      pieceSize: bigCipher.length,
      signal: controller.signal,
      onChunk: () => assert.fail('output of an aborted piece'),
    }),
  );
  off();
  assert.equal(e?.message, 'enough');
  assert.ok(highest < 50, `the piece ran on to ${highest} %`);
  assert.equal(c.DecryptByte(bigCipher).length, big.length, 'usable after');

  // Already aborted: rejected before the key is set or anything is read.
  const reason = new Error('before');
  const early = await caughtAsync(() =>
    c.decryptLarge([other], { key: 'other', signal: AbortSignal.abort(reason), onChunk: () => assert.fail('output') }),
  );
  assert.equal(early, reason);
  assert.equal(c.DecryptByte(bigCipher).length, big.length, 'the key was left as it was');
  await assert.rejects(c.decryptLarge([other], { signal: {}, onChunk() {} }), TypeError);
  c.dispose();
});
