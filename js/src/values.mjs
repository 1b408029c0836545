// Many short values (the bulk-value layer): a whole batch crosses into
// WebAssembly as one buffer with offsets and comes back the same way, one
// call into the library's batch functions for all of it.
import { asBytes, asText, booleanOption, codePageOption, optionsObject } from './options.mjs';
import { OK, TOO_SMALL } from './memory.mjs';

const STORED_FORMS = { bytes: 0, hex: 1, base64: 2, string: 3 };
const PLAIN_FORMS = { text: 0, bytes: 1 };

/** The value functions bound to the memory helpers `w` of one module. */
export function values(w) {
  const { M, heap, alloc, release, bytesIn, withWords, u32, setU32, check, lastError } = w;
  const utf8 = new TextEncoder();
  const fromUtf8 = new TextDecoder('utf-8', { fatal: false });
  const strictUtf8 = new TextDecoder('utf-8', { fatal: true });

  // ---- many short values (the bulk-value layer) ---------------------------
  // Lays key histories out as clscrypt_key_history records; returns the
  // records' address and every allocation to release.
  function histories(list, owned) {
    const records = alloc(list.length * 12);
    owned.push([records, list.length * 12]);
    list.forEach((keys, i) => {
      if (!Array.isArray(keys)) keys = [keys];
      const ptrs = alloc(keys.length * 4);
      const lens = alloc(keys.length * 4);
      owned.push([ptrs, keys.length * 4], [lens, keys.length * 4]);
      keys.forEach((k, j) => {
        const b = utf8.encode(asText(k, 'a key'));
        const p = bytesIn(b);
        owned.push([p, b.length]);
        setU32(ptrs + 4 * j, p);
        setU32(lens + 4 * j, b.length);
      });
      setU32(records + 12 * i, ptrs);
      setU32(records + 12 * i + 4, lens);
      setU32(records + 12 * i + 8, keys.length);
    });
    return records;
  }
  function form(table, name, what) {
    const v = table[name];
    if (v === undefined) throw new TypeError(`unknown ${what} "${name}" (one of ${Object.keys(table).join(', ')})`);
    return v;
  }
  const VALUE_OPTIONS = ['keys', 'target', 'codepage', 'plain', 'form', 'separator', 'replaceUnmappable'];
  const REKEY_OPTIONS = ['keys', 'target', 'codepage', 'from', 'to', 'separator', 'replaceUnmappable'];
  // Runs `run(handle)` with a bulk-value handle made from the options.
  function withValues(o, run) {
    const { keys, target, separator = '' } = o;
    const codepage = codePageOption(o.codepage);
    const replace = booleanOption(o.replaceUnmappable, 'replaceUnmappable');
    if (!Array.isArray(keys) || keys.length === 0) {
      throw new TypeError('keys must list at least one key history (an array of keys, or one key)');
    }
    const owned = [];
    try {
      const cand = histories(keys, owned);
      const tgt = target === undefined ? 0 : histories([target], owned);
      const sepBytes = utf8.encode(asText(separator, 'the separator'));
      const sep = alloc(sepBytes.length + 1);
      owned.push([sep, sepBytes.length + 1]);
      heap().set(sepBytes, sep);
      heap()[sep + sepBytes.length] = 0;
      const h = withWords(1, (out) => {
        check(M._clscrypt_values_new(cand, keys.length, tgt, codepage, sep,
            // keys: [] is written out by the caller: an explicit choice of no key.
            (replace ? 1 : 0) | 2, out));
        return u32(out);
      });
      try {
        return run(h);
      } finally {
        M._clscrypt_values_free(h);
      }
    } finally {
      for (const [p, n] of owned) release(p, n);
    }
  }
  // One value through `call(in, inSize, out, sizePtr, candidatePtr)`, with
  // the output buffer grown when the library asks for more: the path of a
  // value that failed in its batch, to raise the library's full message.
  function oneValue(input, call, text) {
    const p = bytesIn(input);
    let cap = input.length * 2 + 64;
    try {
      return withWords(2, (w) => {
        for (;;) {
          const out = alloc(cap);
          try {
            setU32(w, cap);
            const st = call(p, input.length, out, w, w + 4);
            if (st === TOO_SMALL) {
              cap = u32(w);
              continue;
            }
            if (st !== OK) return { ok: false, error: lastError() };
            const got = heap().slice(out, out + u32(w));
            return { ok: true, value: text ? fromUtf8.decode(got) : got, candidate: u32(w + 4) };
          } finally {
            release(out, cap);
          }
        }
      });
    } finally {
      release(p, input.length);
    }
  }
  // The values as one packed buffer with count + 1 offsets, in WebAssembly
  // memory: text as UTF-8, bytes as they are. Text goes a run of values at
  // a time: a run that is all ASCII (a byte a character, so the offsets are
  // the lengths) is joined and encoded in one go, another value by value.
  // Runs of about a thousand join faster than the whole batch at once.
  const RUN = 1024;
  function packValues(values, bytes, owned) {
    let list;
    let bound = 0;
    if (bytes) {
      list = Array.from(values, (v) => asBytes(v, 'a value'));
      for (const v of list) bound += v.length;
    } else {
      list = Array.isArray(values) ? values : Array.from(values);
      for (let i = 0; i < list.length; i++) {
        const v = list[i];
        if (typeof v !== 'string') asText(v, 'a value');
        bound += v.length;
      }
      bound *= 3;
    }
    const count = list.length;
    const inBuf = alloc(bound);
    const wiped = [inBuf, bound];
    owned.push(wiped);
    const offsets = alloc((count + 1) * 4);
    owned.push([offsets, (count + 1) * 4]);
    // Views taken after the allocations, which may have grown the memory.
    const h8 = heap();
    const off = new Uint32Array(h8.buffer, offsets, count + 1);
    let at = 0;
    let written = 0;
    off[0] = 0;
    if (bytes) {
      for (let i = 0; i < count; i++) {
        h8.set(list[i], inBuf + at);
        at += list[i].length;
        off[i + 1] = at;
      }
      written = at;
    }
    for (let run = 0; !bytes && run < count; run += RUN) {
      const end = Math.min(run + RUN, count);
      const joined = list.slice(run, end).join('');
      const n = utf8.encodeInto(joined, h8.subarray(inBuf + at, inBuf + bound)).written;
      written = Math.max(written, at + n);
      if (n === joined.length) {
        for (let i = run; i < end; i++) {
          at += list[i].length;
          off[i + 1] = at;
        }
      } else {
        for (let i = run; i < end; i++) {
          at += utf8.encodeInto(list[i], h8.subarray(inBuf + at, inBuf + bound)).written;
          off[i + 1] = at;
        }
        written = Math.max(written, at);
      }
    }
    // Only the bytes written need wiping.
    wiped[1] = written;
    return { list, inBuf, offsets, count, size: at };
  }
  // The text of each value of `out`, one decoder pass over the whole output
  // when it is all ASCII; value by value otherwise.
  function textsOut(h8, out, off, count) {
    const total = off[count];
    let all = null;
    try {
      all = strictUtf8.decode(h8.subarray(out, out + total));
    } catch {
      // Not UTF-8 as a whole: each value on its own below.
    }
    if (all !== null && all.length === total) return (i) => all.slice(off[i], off[i + 1]);
    return (i) => fromUtf8.decode(h8.subarray(out + off[i], out + off[i + 1]));
  }
  // One call for the whole batch (`many`), with the output grown when the
  // library asks for more; a value that fails is run again on its own
  // (`single`) for the library's full error.
  function batch(values, inBytes, outText, many, single) {
    const owned = [];
    try {
      const packed = packValues(values, inBytes, owned);
      const { count } = packed;
      const outOffsets = alloc((count + 1) * 4);
      owned.push([outOffsets, (count + 1) * 4]);
      const outcomes = alloc(count * 8 + 8);
      owned.push([outcomes, count * 8 + 8]);
      let cap = packed.size * 2 + count * 64 + 64;
      return withWords(1, (size) => {
        for (;;) {
          const out = alloc(cap);
          let used = cap;
          try {
            setU32(size, cap);
            const st = many(packed.inBuf, packed.offsets, count, out, size, outOffsets, outcomes);
            if (st === TOO_SMALL) {
              cap = u32(size);
              continue;
            }
            check(st);
            used = u32(size);
            const h8 = heap();
            const inOff = new Uint32Array(h8.buffer, packed.offsets, count + 1);
            const outOff = new Uint32Array(h8.buffer, outOffsets, count + 1);
            const result = new Int32Array(h8.buffer, outcomes, count * 2);
            const text = outText ? textsOut(h8, out, outOff, count) : null;
            const results = new Array(count);
            for (let i = 0; i < count; i++) {
              if (result[2 * i] !== 0) {
                const input = inBytes ? packed.list[i] : h8.slice(packed.inBuf + inOff[i], packed.inBuf + inOff[i + 1]);
                results[i] = single(input);
                if (!inBytes) input.fill(0);
                continue;
              }
              results[i] = {
                ok: true,
                value: text ? text(i) : h8.slice(out + outOff[i], out + outOff[i + 1]),
                candidate: result[2 * i + 1] >>> 0,
              };
            }
            return results;
          } finally {
            release(out, used);
          }
        }
      });
    } finally {
      for (const [p, n] of owned) release(p, n);
    }
  }

  /**
   * Encrypts many short values under the target key history (default: the
   * first of `keys`), in one call into the library. Options: keys (key
   * histories: arrays of keys applied in order), target, codepage, plain
   * ('text' | 'bytes'), form ('hex' | 'base64' | 'string' | 'bytes'),
   * separator (between hexadecimal pairs), replaceUnmappable. Returns one
   * outcome per value: { ok: true, value } or { ok: false, error }.
   */
  function encryptValues(values, options) {
    const o = optionsObject(options, VALUE_OPTIONS, 'encryptValues');
    const plain = form(PLAIN_FORMS, o.plain ?? 'text', 'plaintext form');
    const stored = form(STORED_FORMS, o.form ?? 'hex', 'stored form');
    return withValues(o, (h) =>
      batch(values, plain === PLAIN_FORMS.bytes, stored !== STORED_FORMS.bytes,
        (...a) => M._clscrypt_values_encrypt_many(h, a[0], a[1], a[2], plain, stored, a[3], a[4], a[5], a[6]),
        (input) => oneValue(input, (p, n, out, size) => M._clscrypt_values_encrypt(h, p, n, plain, stored, out, size),
          stored !== STORED_FORMS.bytes),
      ).map((r) => {
        if (r.ok) delete r.candidate;
        return r;
      }),
    );
  }

  /**
   * Decrypts many short values in one call, trying the key histories of
   * `keys` in order; options as for encryptValues (hexadecimal values are
   * read by the one rule of readHex). Returns { ok: true, value, candidate }
   * (the index of the history that read it) or { ok: false, error } per
   * value.
   */
  function decryptValues(values, options) {
    const o = optionsObject(options, VALUE_OPTIONS, 'decryptValues');
    const plain = form(PLAIN_FORMS, o.plain ?? 'text', 'plaintext form');
    const stored = form(STORED_FORMS, o.form ?? 'hex', 'stored form');
    return withValues(o, (h) =>
      batch(values, stored === STORED_FORMS.bytes, plain === PLAIN_FORMS.text,
        (...a) => M._clscrypt_values_decrypt_many(h, a[0], a[1], a[2], stored, plain, a[3], a[4], a[5], a[6]),
        (input) => oneValue(input,
          (p, n, out, size, cand) => M._clscrypt_values_decrypt(h, p, n, stored, plain, out, size, cand),
          plain === PLAIN_FORMS.text),
      ),
    );
  }

  /**
   * Re-keys stored values: each is read under the first of `keys` that
   * reads it and written again under `target` (default: the first of
   * `keys`). `from` and `to` are stored forms (default 'hex' both).
   * Returns { ok: true, value, candidate } or { ok: false, error } per value.
   */
  function rekeyValues(values, options) {
    const o = optionsObject(options, REKEY_OPTIONS, 'rekeyValues');
    const from = form(STORED_FORMS, o.from ?? 'hex', 'stored form');
    const to = form(STORED_FORMS, o.to ?? 'hex', 'stored form');
    return withValues(o, (h) =>
      batch(values, from === STORED_FORMS.bytes, to !== STORED_FORMS.bytes,
        (...a) => M._clscrypt_values_rekey_many(h, a[0], a[1], a[2], from, to, a[3], a[4], a[5], a[6]),
        (input) => oneValue(input,
          (p, n, out, size, cand) => M._clscrypt_values_rekey(h, p, n, from, to, out, size, cand),
          to !== STORED_FORMS.bytes),
      ),
    );
  }

  return { encryptValues, decryptValues, rekeyValues };
}
