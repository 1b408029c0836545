// The stateless functions: each takes its keys on the call, works on a
// handle made for that call alone and frees it (its key material wiped)
// before returning. Nothing carries over from one call to the next.
import { RuntimeError } from './errors.mjs';
import { CALL_OPTIONS, PIECE, asBytes, asText, booleanOption, codePageOption, keyHistories, optionsObject } from './options.mjs';

/** The stateless functions bound to the memory helpers `w` and stream helpers `s`. */
export function stateless(w, s) {
  const { M, heap, alloc, release, bytesIn, withWords, u32, setU32, check, newHandle, newStream, setKey, convertString } = w;
  const { ChunkStream, wholeThroughStream, stringThroughStream } = s;
  const utf8 = new TextEncoder();

  // Runs `body(handle)` on a handle made for this call alone, keyed with one
  // history; the handle (and its key material, wiped) is gone when it returns.
  function withHistory(o, history, body) {
    const h = newHandle(codePageOption(o.codepage), booleanOption(o.replaceUnmappable, 'replaceUnmappable'));
    try {
      for (const k of history) setKey(h, k);
      return body(h);
    } finally {
      M._clscrypt_tostring_free(h);
    }
  }
  // Decrypting: the histories in order; a wrong key moves on to the next,
  // any other failure (or the last wrong key) is raised.
  function tryHistories(o, body) {
    const candidates = keyHistories(o.keys);
    if (candidates.length === 0) throw new TypeError('keys lists no key history');
    for (let i = 0; ; i++) {
      try {
        return withHistory(o, candidates[i], body);
      } catch (e) {
        if (!(e instanceof RuntimeError) || e.kind !== 'WrongKeyOrDamaged' || i === candidates.length - 1) throw e;
      }
    }
  }
  // Encrypting writes under one history: the first of candidates.
  function firstHistory(o, body) {
    const candidates = keyHistories(o.keys);
    if (candidates.length === 0) throw new TypeError('keys lists no key history');
    return withHistory(o, candidates[0], body);
  }

  // A one-shot call run through the library's stream in pieces (see
  // wholeThroughStream).
  function pieced(h, encrypting, bytes) {
    const s = newStream(h, encrypting, BigInt(bytes.length));
    return wholeThroughStream(new ChunkStream(encrypting, s, check, () => {}), encrypting, bytes);
  }

  /**
   * Encrypts bytes under `keys` (a key history, oldest first; [] for none)
   * and returns the ciphertext as a new Uint8Array. Holds nothing after it
   * returns. A call takes about twice the data in memory (the data and the
   * result; WebAssembly holds one piece of 1 MiB at a time); for data that
   * does not fit in memory twice, use encryptStream.
   */
  function encrypt(data, options) {
    const bytes = asBytes(data, 'the data');
    const o = optionsObject(options, CALL_OPTIONS, 'encrypt');
    return firstHistory(o, (h) => pieced(h, true, bytes));
  }
  /** Decrypts a ciphertext; `keys` may list candidate histories, tried in order. */
  function decrypt(ciphertext, options) {
    const bytes = asBytes(ciphertext, 'the ciphertext');
    const o = optionsObject(options, CALL_OPTIONS, 'decrypt');
    return tryHistories(o, (h) => pieced(h, false, bytes));
  }
  // A text of up to a piece goes through the library's whole-text call;
  // a longer one through a stream in pieces (see stringThroughStream).
  function piecedString(h, encrypting, text) {
    if (text.length <= PIECE) {
      const run = encrypting ? M._clscrypt_tostring_encrypt_string_utf16 : M._clscrypt_tostring_decrypt_string_utf16;
      return convertString(h, run, text);
    }
    const s = newStream(h, encrypting, BigInt(text.length));
    return stringThroughStream(h, new ChunkStream(encrypting, s, check, () => {}), encrypting, text);
  }
  /**
   * EncryptString's form: the ciphertext as text, one character per byte.
   * A call takes about the text and the result in memory (WebAssembly
   * holds a piece of 1 MiB at a time).
   */
  function encryptString(text, options) {
    text = asText(text, 'the text');
    const o = optionsObject(options, CALL_OPTIONS, 'encryptString');
    return firstHistory(o, (h) => piecedString(h, true, text));
  }
  function decryptString(text, options) {
    text = asText(text, 'the text');
    const o = optionsObject(options, CALL_OPTIONS, 'decryptString');
    return tryHistories(o, (h) => piecedString(h, false, text));
  }

  // ---- hexadecimal text of ciphertexts -----------------------------------
  /**
   * The bytes of hexadecimal text by the library's one rule for ciphertext
   * hex: digits of either case; white space and ASCII punctuation skipped
   * anywhere; one leading "\x" skipped. Anything else, or an odd number of
   * digits, raises kind InvalidArgument naming the position.
   */
  function readHex(text) {
    const b = utf8.encode(asText(text, 'the hexadecimal text'));
    const p = bytesIn(b);
    const capacity = (b.length >> 1) + 1;
    const out = alloc(capacity);
    try {
      return withWords(1, (size) => {
        setU32(size, capacity);
        check(M._clscrypt_read_hex(p, b.length, out, size));
        return heap().slice(out, out + u32(size));
      });
    } finally {
      release(p, b.length);
      release(out, capacity);
    }
  }

  return { encrypt, decrypt, encryptString, decryptString, readHex };
}
