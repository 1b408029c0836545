// Memory and errors on the WebAssembly side: allocation, the library's wipe
// before every free of memory that held a key or plaintext, status codes
// turned into RuntimeError, and the cipher handle the legacy class and the
// stateless calls share.
import { RuntimeError, outOfMemory } from './errors.mjs';

export const OK = 0;
export const TOO_SMALL = 3;
export const CANCELLED = 5;

/** The memory helpers bound to one loaded module `M`. */
export function memory(M) {
  const heap = () => M.HEAPU8;

  function lastError() {
    return new RuntimeError(
      M._clscrypt_error_number(),
      M.UTF8ToString(M._clscrypt_error_description()),
      M._clscrypt_error_kind(),
      M.UTF8ToString(M._clscrypt_error_message()),
    );
  }
  function check(status) {
    if (status !== OK) throw lastError();
  }
  function alloc(n) {
    const p = M._malloc(Math.max(n, 1));
    if (p === 0) throw outOfMemory();
    return p;
  }
  // Frees memory that may have held a key or plaintext, wiped first by the
  // library's own wipe.
  function release(p, n) {
    if (p) {
      M._clscrypt_wipe(p, n);
      M._free(p);
    }
  }
  function bytesIn(bytes) {
    const p = alloc(bytes.length);
    heap().set(bytes, p);
    return p;
  }
  function utf16In(text) {
    const p = alloc(text.length * 2);
    const units = new Uint16Array(M.HEAPU8.buffer, p, text.length);
    for (let i = 0; i < text.length; i++) units[i] = text.charCodeAt(i);
    return p;
  }
  function utf16Out(p, length) {
    const units = new Uint16Array(M.HEAPU8.buffer, p, length);
    let s = '';
    for (let i = 0; i < length; i += 8192) s += String.fromCharCode.apply(null, units.subarray(i, i + 8192));
    return s;
  }
  // Runs `body` with scratch words (pointers and sizes), freed after.
  function withWords(count, body) {
    const p = alloc(count * 8);
    try {
      return body(p);
    } finally {
      release(p, count * 8);
    }
  }
  const u32 = (p) => M.HEAPU32[p >>> 2];
  const setU32 = (p, v) => {
    M.HEAPU32[p >>> 2] = v;
  };
  // A library allocation of UTF-16 text, taken out and released (wiped).
  function takeUtf16(words) {
    const p = u32(words);
    const n = u32(words + 4);
    try {
      return utf16Out(p, n);
    } finally {
      M._clscrypt_free(p);
    }
  }

  // Handles whose object was collected without dispose(): the safety net.
  const registry =
    typeof FinalizationRegistry === 'function'
      ? new FinalizationRegistry((free) => free())
      : { register() {}, unregister() {} };

  // ---- one cipher handle -------------------------------------------------
  function newHandle(codepage, replaceUnmappable) {
    const h = withWords(1, (out) => {
      check(M._clscrypt_tostring_new(codepage, out));
      return u32(out);
    });
    try {
      check(M._clscrypt_tostring_set_refuse_unmappable(h, replaceUnmappable ? 0 : 1));
    } catch (e) {
      M._clscrypt_tostring_free(h);
      throw e;
    }
    return h;
  }
  // A stream on handle `h` (its pointer). Encryption under a handle with no
  // key is allowed here: the legacy class encrypts unkeyed as it always
  // did, and the stateless functions only reach a keyless handle through
  // an explicit `keys: []`.
  const STREAM_ALLOW_NO_KEY = 1;
  function newStream(h, encrypting, length, checkStatus = check) {
    return withWords(1, (out) => {
      checkStatus(
        encrypting
          ? M._clscrypt_encrypt_stream_new_ex(h, length, STREAM_ALLOW_NO_KEY, out)
          : M._clscrypt_decrypt_stream_new(h, length, out),
      );
      return u32(out);
    });
  }
  function setKey(h, key, checkStatus = check) {
    const p = utf16In(key);
    try {
      checkStatus(M._clscrypt_tostring_set_key_utf16(h, p, key.length));
    } finally {
      release(p, key.length * 2);
    }
  }
  function convertString(h, run, text, checkStatus = check) {
    const p = utf16In(text);
    try {
      return withWords(2, (w) => {
        checkStatus(run(h, p, text.length, w, w + 4));
        return takeUtf16(w);
      });
    } finally {
      release(p, text.length * 2);
    }
  }

  return {
    M, heap, lastError, check, alloc, release, bytesIn, utf16In, utf16Out, withWords, u32, setU32, takeUtf16,
    registry, newHandle, newStream, setKey, convertString,
  };
}
