// clscrypt for JavaScript: the library compiled to WebAssembly. The front
// door is a set of stateless functions (encrypt, decrypt, their string and
// stream forms, the value functions) that take the keys on every call and
// hold nothing after they return; the two legacy classes stay for code
// ported from the legacy program. Every operation is the library's own,
// reached through its C interface; this file only moves bytes and text in
// and out of WebAssembly memory and turns status codes into exceptions.

import createClscryptModule from '../dist/clscrypt_wasm.mjs';

/** Error kinds, as the library numbers them (stable values). */
export const ErrorKind = Object.freeze({
  Other: 1,
  InvalidArgument: 2,
  Overflow: 3,
  SubscriptOutOfRange: 4,
  DivisionByZero: 5,
  WrongKeyOrDamaged: 6,
  SourceMissing: 7,
  FileSystem: 8,
  System: 9,
  OutOfMemory: 10,
  Cancelled: 11,
  BufferTooSmall: 12,
  Busy: 13,
  Unmappable: 14,
});
const kindNames = Object.fromEntries(Object.entries(ErrorKind).map(([name, code]) => [code, name]));

// Marks the package's errors, so that the CommonJS entry's RuntimeError
// (which cannot import this module synchronously) recognises them too.
const BRAND = Symbol.for('clscrypt.RuntimeError');

/** The stable string code of a kind: "WrongKeyOrDamaged" -> "ERR_CLSCRYPT_WRONG_KEY_OR_DAMAGED". */
export function errorCode(kind) {
  return `ERR_CLSCRYPT_${kind.replace(/([a-z])([A-Z])/g, '$1_$2').toUpperCase()}`;
}

/**
 * The error every operation raises: the legacy run-time error number and
 * description callers test for, the kind that tells a wrong key from other
 * failures sharing the number, and `code`, the kind as a stable string.
 * Branch on `kind` or `code`, never on the text.
 */
export class RuntimeError extends Error {
  constructor(number, description, kind, message) {
    super(message || description);
    this.name = 'RuntimeError';
    this.number = number;
    this.description = description;
    this.kindCode = kind;
    this.kind = kindNames[kind] ?? 'Other';
    this.code = errorCode(this.kind);
  }
  get [BRAND]() {
    return true;
  }
}

const OK = 0;
const CANCELLED = 5;
const TOO_SMALL = 3;
const INVALID_ARGUMENT = 5; // the legacy number of kinds Busy and Unmappable too
const INVALID_ARGUMENT_TEXT = 'Invalid procedure call or argument';
const UNKNOWN_LENGTH = 0xffffffffffffffffn;
const STORED_FORMS = { bytes: 0, hex: 1, base64: 2, string: 3 };
const PLAIN_FORMS = { text: 0, bytes: 1 };
const CODE_PAGES = new Set([0, 874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258]);
const PIECE = 1 << 20; // the largest piece a stream hands to WebAssembly at once
const utf8 = new TextEncoder();
const fromUtf8 = new TextDecoder('utf-8', { fatal: false });
// A listener's exception is kept until the operation returns; this marks
// "none", so that even `throw null` or `throw undefined` is raised as it was.
const NONE = Symbol('none');

// ---- argument checks (before anything reaches WebAssembly) ---------------
function optionsObject(options, allowed, what) {
  if (options === undefined) return {};
  if (options === null || typeof options !== 'object' || Array.isArray(options)) {
    throw new TypeError(`${what} takes an options object ({ ${allowed.join(', ')} })`);
  }
  for (const name of Object.keys(options)) {
    if (!allowed.includes(name)) throw new TypeError(`${what}: unknown option "${name}" (one of ${allowed.join(', ')})`);
  }
  return options;
}
function codePageOption(codepage) {
  if (codepage === undefined) return 0;
  if (typeof codepage !== 'number') throw new TypeError('codepage must be a number (874, 1250-1258; 0 for 1252)');
  if (!Number.isInteger(codepage)) throw new RangeError('codepage must be an integer (874, 1250-1258; 0 for 1252)');
  // Other integers reach the library, which refuses them (kind InvalidArgument).
  return codepage;
}
function booleanOption(value, what) {
  if (value === undefined) return false;
  if (typeof value !== 'boolean') throw new TypeError(`${what} must be true or false`);
  return value;
}
// A byte count: a safe non-negative integer, or a BigInt below 2^64 - 1.
function lengthOption(length, what) {
  if (typeof length === 'bigint') {
    if (length < 0n || length >= UNKNOWN_LENGTH) throw new RangeError(`${what} must be from 0 to 2^64 - 2`);
    return length;
  }
  if (typeof length !== 'number') throw new TypeError(`${what} must be a number or a BigInt`);
  if (!Number.isSafeInteger(length) || length < 0) throw new RangeError(`${what} must be a whole number of bytes, 0 or more`);
  return BigInt(length);
}
function pieceSizeOption(size) {
  if (size === undefined) return PIECE;
  if (typeof size !== 'number') throw new TypeError('pieceSize must be a number');
  if (!Number.isSafeInteger(size) || size < 1) throw new RangeError('pieceSize must be a whole number of bytes, 1 or more');
  return size;
}
function signalOption(signal) {
  if (signal === undefined || signal === null) return null;
  if (typeof signal !== 'object' || typeof signal.aborted !== 'boolean') throw new TypeError('signal must be an AbortSignal');
  return signal;
}
function stopIfAborted(signal) {
  if (signal?.aborted) {
    throw signal.reason !== undefined ? signal.reason : new DOMException('This operation was aborted', 'AbortError');
  }
}
// The key histories a stateless call takes: one history (an array of keys,
// applied in order, or one key), or candidates (an array of histories)
// tried in order when decrypting. [] is the explicit "no key".
function keyHistories(keys) {
  if (keys === undefined) {
    throw new TypeError('keys is required: a key history (["key"], oldest first), or [] for data written without a key');
  }
  if (typeof keys === 'string') return [[keys]];
  if (!Array.isArray(keys)) throw new TypeError('keys must be an array of keys, or of key histories');
  if (keys.every((k) => typeof k === 'string')) return [keys];
  if (keys.every((h) => Array.isArray(h) && h.every((k) => typeof k === 'string'))) return keys;
  throw new TypeError('keys must be an array of keys (one history) or an array of arrays of keys (candidates), not both');
}

let loading = null;

/**
 * Loads the WebAssembly module (once; later calls share it) and returns the
 * API bound to it. The module is embedded in this package: nothing is
 * fetched.
 */
export function load() {
  if (loading === null) {
    loading = Promise.resolve()
      .then(() => {
        // The header words come from crypto.getRandomValues (browsers, Node
        // 20 and later). Without it the module would refuse to encrypt; it
        // never falls back to a weaker source.
        if (typeof globalThis.crypto?.getRandomValues !== 'function') {
          throw new Error('clscrypt needs crypto.getRandomValues (Node 20 or later, or a browser)');
        }
        return createClscryptModule();
      })
      .then(bind);
    // A failed load may be tried again.
    loading.catch(() => {
      loading = null;
    });
  }
  return loading;
}

function bind(M) {
  // ---- memory and errors -------------------------------------------------
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
    if (p === 0) throw new RuntimeError(7, 'Out of memory', ErrorKind.OutOfMemory, 'Out of memory');
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
  // The refusal of a call that would change or free an instance (or a
  // stream) while an operation runs on it, worded as the library words its
  // own.
  function busy(call, what = 'instance') {
    return new RuntimeError(INVALID_ARGUMENT, INVALID_ARGUMENT_TEXT, ErrorKind.Busy,
      `${INVALID_ARGUMENT_TEXT}: ${call} refused: an operation is running on this ${what}`);
  }
  function disposed(what) {
    return new RuntimeError(INVALID_ARGUMENT, INVALID_ARGUMENT_TEXT, ErrorKind.InvalidArgument,
      `${INVALID_ARGUMENT_TEXT}: the ${what} was disposed`);
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
  function asBytes(data, what) {
    if (data instanceof Uint8Array) return data;
    if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
    if (data instanceof ArrayBuffer) return new Uint8Array(data);
    throw new TypeError(`${what} must be a Uint8Array, another typed array or an ArrayBuffer`);
  }
  function asText(value, what) {
    if (typeof value !== 'string') throw new TypeError(`${what} must be a string`);
    return value;
  }
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

  // ---- one cipher handle: what the class and the stateless calls share ---
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
  function setKey(h, key, checkStatus = check) {
    const p = utf16In(key);
    try {
      checkStatus(M._clscrypt_tostring_set_key_utf16(h, p, key.length));
    } finally {
      release(p, key.length * 2);
    }
  }
  // EncryptByte / DecryptByte in one WebAssembly buffer, converted in place:
  // the caller's array, that buffer and the result are all the memory a
  // call takes (about 3x the data).
  function convertBytes(h, encrypt, bytes, checkStatus = check) {
    const capacity = encrypt ? Math.max(Number(M._clscrypt_encrypted_size(bytes.length)), 16) : Math.max(bytes.length, 1);
    const buf = alloc(capacity);
    try {
      heap().set(bytes, buf);
      return withWords(1, (size) => {
        setU32(size, capacity);
        const run = encrypt ? M._clscrypt_tostring_encrypt : M._clscrypt_tostring_decrypt;
        checkStatus(run(h, buf, bytes.length, buf, size));
        return heap().slice(buf, buf + u32(size));
      });
    } finally {
      release(buf, capacity);
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

  // Progress: one function in WebAssembly's table for every instance (a
  // function added per instance would compile a small module each time);
  // the instance is found by the number it passes back. The map holds the
  // instances' state weakly: it never keeps one alive.
  const progressStates = new Map();
  let nextProgressId = 1;
  const progressFunction = M.addFunction((percentPtr, id) => {
    const state = progressStates.get(id)?.deref();
    if (!state) return 0;
    state.listening++;
    try {
      M.HEAP32[percentPtr >>> 2] = state.progress._raise(M.HEAP32[percentPtr >>> 2]);
      return 0;
    } catch (e) {
      state.failure = e;
      return 1;
    } finally {
      state.listening--;
    }
  }, 'iii');

  // ---- clsToString --------------------------------------------------------
  class ProgressEvent {
    #listeners = new Map();
    #next = 1;
    /**
     * Adds a listener, called after blocks and once with 100 at the end
     * with the percentage and an event whose `percent` it may change: later
     * listeners see the new value, and 100 suppresses the closing event (the
     * legacy event handed its listeners a reference). An exception it
     * throws stops the operation and is raised by it. Returns a function
     * that unsubscribes.
     */
    subscribe(listener) {
      if (typeof listener !== 'function') throw new TypeError('a Progress listener must be a function');
      const token = this.#next++;
      this.#listeners.set(token, listener);
      return () => this.unsubscribe(token);
    }
    unsubscribe(token) {
      this.#listeners.delete(token);
    }
    _raise(percent) {
      const event = { percent };
      for (const [token, listener] of [...this.#listeners]) {
        // One removed by an earlier listener of this event is not called.
        if (this.#listeners.has(token)) listener(event.percent, event);
      }
      return event.percent | 0;
    }
  }

  /**
   * The legacy class, for code ported from the legacy program. Its key
   * history is the instance's: a key set by `Key = ...`, or given to an
   * operation as its `key` argument, is mixed into the instance's tables
   * for good (even when that operation then fails), and every later key is
   * mixed in on top of it, exactly as the legacy class did. Stored data may
   * rely on that order. New code uses the stateless functions instead.
   */
  class clsToString {
    #h = 0;
    #id = 0;
    #state;
    #streams = new Set();
    #token = {};
    // Large operations (encryptLarge, decryptLarge) in flight: the instance
    // is held busy until each has settled.
    #large = 0;

    /**
     * The legacy cipher, for `codepage` (874, 1250-1258; 0: 1252). A key or
     * text with a character the code page lacks is refused (kind
     * Unmappable) unless `replaceUnmappable` asks for the legacy "?" in its
     * place.
     */
    constructor(options) {
      const o = optionsObject(options, ['codepage', 'replaceUnmappable'], 'new clsToString()');
      const codepage = codePageOption(o.codepage);
      const replace = booleanOption(o.replaceUnmappable, 'replaceUnmappable');
      // What the progress callback needs, apart from the instance: it must
      // not keep the instance from being collected. `listening` counts the
      // listener calls under way: the instance is inside an operation.
      const state = { progress: new ProgressEvent(), failure: NONE, listening: 0 };
      this.#state = state;
      Object.defineProperty(this, 'Progress', { value: state.progress, enumerable: true });
      const h = newHandle(codepage, replace);
      const id = nextProgressId++;
      try {
        check(M._clscrypt_tostring_set_progress(h, progressFunction, id));
      } catch (e) {
        M._clscrypt_tostring_free(h);
        throw e;
      }
      this.#h = h;
      this.#id = id;
      // Listeners run inside the operation; an exception may not unwind
      // through WebAssembly frames, so it is kept, the operation cancelled,
      // and the exception raised once the operation has returned.
      progressStates.set(id, new WeakRef(state));
      registry.register(
        this,
        () => {
          M._clscrypt_tostring_free(h);
          progressStates.delete(id);
        },
        this.#token,
      );
    }

    #handle() {
      if (this.#h === 0) throw disposed('instance');
      return this.#h;
    }
    // Checks a status; a listener's exception comes first.
    #check(status) {
      const failure = this.#state.failure;
      this.#state.failure = NONE;
      if (status === CANCELLED && failure !== NONE) throw failure;
      check(status);
    }

    get codepage() {
      return M._clscrypt_tostring_codepage(this.#handle());
    }

    /**
     * The write-only Key property: `c.Key = 'secret'` mixes a new key into
     * the tables, on top of those before it. Reading it throws. Refused
     * with kind Busy while an operation runs on the instance (from a
     * Progress listener, with a stream open, during encryptLarge or
     * decryptLarge).
     */
    set Key(k) {
      k = asText(k, 'the key');
      const h = this.#handle();
      // The library refuses while a stream is open or a listener runs; a
      // large operation is held busy here too while it awaits its source or
      // onChunk after its stream has closed.
      if (this.#large > 0) throw busy('setting the key');
      setKey(h, k, (st) => this.#check(st));
    }
    get Key() {
      throw new TypeError('Key is write-only: assign a key to it (c.Key = "secret"); it cannot be read or called');
    }
    #keyArg(key) {
      if (key !== undefined && key !== null && key !== '') this.Key = key;
    }

    /**
     * Encrypts `bytes` and returns the ciphertext as a new Uint8Array
     * (typed arrays cannot be resized in place, so the argument is left as
     * it was). A non-empty `key` is mixed into the instance first and stays
     * in force, even when the call fails.
     */
    EncryptByte(bytes, key) {
      bytes = asBytes(bytes, 'the bytes');
      const h = this.#handle();
      this.#keyArg(key);
      return convertBytes(h, true, bytes, (st) => this.#check(st));
    }
    /** Decrypts `bytes` into a new Uint8Array; the argument is unchanged. */
    DecryptByte(bytes, key) {
      bytes = asBytes(bytes, 'the bytes');
      const h = this.#handle();
      this.#keyArg(key);
      return convertBytes(h, false, bytes, (st) => this.#check(st));
    }

    /** EncryptString: the ciphertext as text, one character per byte. */
    EncryptString(text, key) {
      return this.#string(M._clscrypt_tostring_encrypt_string_utf16, asText(text, 'the text'), key);
    }
    DecryptString(text, key) {
      return this.#string(M._clscrypt_tostring_decrypt_string_utf16, asText(text, 'the text'), key);
    }
    #string(run, text, key) {
      const h = this.#handle();
      this.#keyArg(key);
      return convertString(h, run, text, (st) => this.#check(st));
    }

    /** Each character's code-page byte as two upper-case hexadecimal digits. */
    StrToHex(text, separator = ' ') {
      text = asText(text, 'the text');
      separator = asText(separator, 'the separator');
      const p = utf16In(text);
      const s = utf16In(separator);
      try {
        return withWords(2, (w) => {
          check(M._clscrypt_tostring_str_to_hex_utf16(this.#handle(), p, text.length, s, separator.length, w, w + 4));
          return takeUtf16(w);
        });
      } finally {
        release(p, text.length * 2);
        release(s, separator.length * 2);
      }
    }
    /** Hexadecimal text back to text, `separators` characters between pairs. */
    HexToStr(hex, separators = 0) {
      hex = asText(hex, 'the hexadecimal text');
      const p = utf16In(hex);
      try {
        return withWords(2, (w) => {
          check(M._clscrypt_tostring_hex_to_str_utf16(this.#handle(), p, hex.length, separators | 0, w, w + 4));
          return takeUtf16(w);
        });
      } finally {
        release(p, hex.length * 2);
      }
    }

    /**
     * Encryption of a `length`-byte message handed over in pieces: the
     * ciphertext comes out as they go in, the same bytes as EncryptByte of
     * the whole. A non-empty `key` is set first.
     */
    createEncryptStream(length, key) {
      const n = lengthOption(length, 'the length');
      this.#keyArg(key);
      return this.#stream(true, n);
    }
    /**
     * Decryption of a ciphertext handed over in pieces; give its `length`
     * when known (a File's size): then a wrong key is always caught at the
     * second block, before any output.
     */
    createDecryptStream(length, key) {
      const n = length === undefined || length === null ? UNKNOWN_LENGTH : lengthOption(length, 'the length');
      this.#keyArg(key);
      return this.#stream(false, n);
    }
    /**
     * Encrypts or decrypts a large source in pieces with bounded memory: a
     * Blob or File (browsers, Node 20), a ReadableStream, or any (async)
     * iterable of byte arrays. Calls `onChunk` with each output piece (await
     * it to write); `length` is needed for encryption of a stream or
     * iterable. The instance is held busy until the returned promise
     * settles: Key, dispose() and any call given a key are refused with
     * kind Busy meanwhile, and the operation runs on the instance's own
     * tables (no snapshot is taken). With `signal`, an abort stops the work
     * between pieces (or inside one, when a Progress listener aborts) and
     * rejects with the signal's reason; output already handed to onChunk is
     * then incomplete, and the instance stays usable.
     */
    encryptLarge(source, options) {
      return this.#pipe(true, source, options);
    }
    decryptLarge(source, options) {
      return this.#pipe(false, source, options);
    }
    async #pipe(encrypt, source, options) {
      const o = optionsObject(options, ['length', 'key', 'onChunk', 'pieceSize', 'signal'],
        encrypt ? 'encryptLarge' : 'decryptLarge');
      const { key, onChunk } = o;
      if (typeof onChunk !== 'function') throw new TypeError('onChunk must be a function');
      const signal = signalOption(o.signal);
      const pieceSize = pieceSizeOption(o.pieceSize);
      stopIfAborted(signal);
      let total = o.length === undefined || o.length === null ? undefined : lengthOption(o.length, 'length');
      let pieces;
      if (typeof Blob !== 'undefined' && source instanceof Blob) {
        total = BigInt(source.size);
        pieces = blobPieces(source, pieceSize);
      } else if (source && typeof source.getReader === 'function') {
        pieces = readerPieces(source.getReader());
      } else {
        pieces = source;
      }
      if (encrypt && total === undefined) {
        throw new TypeError('encrypting in pieces needs the total length up front');
      }
      const stream = encrypt ? this.createEncryptStream(total, key) : this.createDecryptStream(total, key);
      this.#large++;
      try {
        for await (const piece of pieces) {
          stopIfAborted(signal);
          const bytes = asBytes(piece, 'a piece');
          for (let at = 0; at < bytes.length; at += pieceSize) {
            const out = cancellable(signal, () => stream.update(bytes.subarray(at, at + pieceSize)));
            if (out.length) await onChunk(out);
            stopIfAborted(signal);
          }
        }
        stopIfAborted(signal);
        const last = cancellable(signal, () => stream.final());
        if (last.length) await onChunk(last);
      } catch (e) {
        // An abort is reported by the signal's reason, not by the library's
        // Cancelled that its check caused.
        stopIfAborted(signal);
        throw e;
      } finally {
        stream.dispose();
        this.#large--;
      }
    }

    #stream(encrypt, length) {
      const h = this.#handle();
      const s = withWords(1, (out) => {
        const make = encrypt ? M._clscrypt_encrypt_stream_new : M._clscrypt_decrypt_stream_new;
        this.#check(make(h, length, out));
        return u32(out);
      });
      const stream = new ChunkStream(encrypt, s, (st) => this.#check(st), () => this.#streams.delete(stream));
      this.#streams.add(stream);
      return stream;
    }

    /**
     * Destroys the instance: its key material in WebAssembly memory is
     * wiped and freed, with that of its open streams. Later calls raise
     * error 5. Safe to call twice. Refused with kind Busy (nothing freed)
     * while an operation runs on it: from its Progress listeners, or while
     * encryptLarge or decryptLarge has not settled.
     */
    dispose() {
      if (this.#h === 0) return;
      if (this.#state.listening > 0 || this.#large > 0) throw busy('disposing the instance');
      for (const s of this.#streams) if (s._running) throw busy('disposing the instance');
      for (const s of [...this.#streams]) s.dispose();
      registry.unregister(this.#token);
      M._clscrypt_tostring_free(this.#h);
      progressStates.delete(this.#id);
      this.#h = 0;
    }
  }

  // One chunked stream; its buffer lives in WebAssembly memory, is reused
  // from piece to piece and converted in place. `afterFree` runs once the
  // stream is freed (by dispose() or, if the stream was dropped, when it is
  // collected).
  class ChunkStream {
    #s;
    #encrypt;
    #check;
    #closed;
    #running = false;
    #mem = { buf: 0, cap: 0 }; // shared with the safety net below
    #token = {};
    #afterFree;
    constructor(encrypt, s, checkStatus, onClose, afterFree = () => {}) {
      this.#encrypt = encrypt;
      this.#s = s;
      this.#check = checkStatus;
      this.#closed = onClose;
      this.#afterFree = afterFree;
      const mem = this.#mem;
      const free = encrypt ? M._clscrypt_encrypt_stream_free : M._clscrypt_decrypt_stream_free;
      registry.register(
        this,
        () => {
          free(s);
          release(mem.buf, mem.cap);
          afterFree();
        },
        this.#token,
      );
    }
    #room(n) {
      const need = n + 16;
      const mem = this.#mem;
      if (need > mem.cap) {
        release(mem.buf, mem.cap);
        mem.buf = 0;
        mem.cap = 0;
        mem.buf = alloc(need);
        mem.cap = need;
      }
      return mem.buf;
    }
    #live() {
      if (this.#s === 0) throw disposed('stream');
      if (this.#running) throw busy('a call on the stream', 'stream');
      return this.#s;
    }
    // Runs one call into the stream; a Progress listener called from inside
    // may not re-enter or free it meanwhile.
    #run(body) {
      this.#running = true;
      try {
        return body();
      } finally {
        this.#running = false;
      }
    }
    get _running() {
      return this.#running;
    }
    /** Takes the next piece; returns the output it completes (maybe empty). */
    update(chunk) {
      const bytes = asBytes(chunk, 'the piece');
      const s = this.#live();
      const n = bytes.length;
      const buf = this.#room(n);
      heap().set(bytes, buf);
      return withWords(1, (size) => {
        setU32(size, n + 16);
        const run = this.#encrypt ? M._clscrypt_encrypt_stream_update : M._clscrypt_decrypt_stream_update;
        try {
          this.#check(this.#run(() => run(s, buf, n, buf, size)));
          return heap().slice(buf, buf + u32(size));
        } finally {
          M._clscrypt_wipe(buf, n + 16);
        }
      });
    }
    /**
     * Ends the stream: for encryption the last ciphertext bytes; for
     * decryption the check that all came (an empty array). Disposes it.
     */
    final() {
      const s = this.#live();
      try {
        if (!this.#encrypt) {
          this.#check(this.#run(() => M._clscrypt_decrypt_stream_final(s)));
          return new Uint8Array(0);
        }
        const buf = this.#room(16);
        return withWords(1, (size) => {
          setU32(size, 16);
          this.#check(this.#run(() => M._clscrypt_encrypt_stream_final(s, buf, size)));
          return heap().slice(buf, buf + u32(size));
        });
      } finally {
        this.dispose();
      }
    }
    /** The message's length (decryption), once the first 16 bytes are in. */
    get messageLength() {
      return this.#encrypt || this.#s === 0 ? -1 : Number(M._clscrypt_decrypt_stream_message_length(this.#s));
    }
    /** Refused with kind Busy from a Progress listener of its own update. */
    dispose() {
      if (this.#s === 0) return;
      if (this.#running) throw busy('disposing the stream', 'stream');
      registry.unregister(this.#token);
      (this.#encrypt ? M._clscrypt_encrypt_stream_free : M._clscrypt_decrypt_stream_free)(this.#s);
      this.#s = 0;
      release(this.#mem.buf, this.#mem.cap);
      this.#mem.buf = 0;
      this.#mem.cap = 0;
      this.#afterFree();
      this.#closed();
    }
  }

  // The signal whose abort the library's cancellation check reports while
  // a piece of a large operation is in WebAssembly (a Progress listener may
  // abort it there), or null.
  let activeSignal = null;
  let cancelCheck = 0;
  function cancellable(signal, body) {
    if (!signal) return body();
    if (cancelCheck === 0) cancelCheck = M.addFunction(() => (activeSignal?.aborted ? 1 : 0), 'ii');
    const previous = activeSignal;
    activeSignal = signal;
    M._clscrypt_set_cancel_check(cancelCheck, 0);
    try {
      return body();
    } finally {
      activeSignal = previous;
      if (previous === null) M._clscrypt_set_cancel_check(0, 0);
    }
  }

  async function* blobPieces(blob, size) {
    for (let at = 0; at < blob.size; at += size) {
      yield new Uint8Array(await blob.slice(at, at + size).arrayBuffer());
    }
  }
  async function* readerPieces(reader) {
    try {
      for (;;) {
        const { done, value } = await reader.read();
        if (done) return;
        yield value;
      }
    } finally {
      reader.releaseLock();
    }
  }

  // ---- the stateless functions --------------------------------------------
  const CALL_OPTIONS = ['keys', 'codepage', 'replaceUnmappable'];
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

  // A one-shot call run through the library's stream in pieces: WebAssembly
  // memory holds one piece at a time, and the result is written straight
  // into its array, so the data, the result and a piece are all the memory
  // a call takes (the whole-array operation copies the data inside
  // WebAssembly too). The bytes are those of EncryptByte / DecryptByte.
  function pieced(h, encrypting, bytes) {
    const s = withWords(1, (out) => {
      check((encrypting ? M._clscrypt_encrypt_stream_new : M._clscrypt_decrypt_stream_new)(h, BigInt(bytes.length), out));
      return u32(out);
    });
    const stream = new ChunkStream(encrypting, s, check, () => {});
    try {
      let result = encrypting ? new Uint8Array(Number(M._clscrypt_encrypted_size(bytes.length))) : null;
      let at = 0;
      const put = (piece) => {
        if (piece.length === 0) return;
        if (result === null) result = new Uint8Array(stream.messageLength);
        result.set(piece, at);
        at += piece.length;
      };
      for (let from = 0; from < bytes.length; from += PIECE) put(stream.update(bytes.subarray(from, from + PIECE)));
      put(stream.final());
      result ??= new Uint8Array(0);
      return at === result.length ? result : result.slice(0, at);
    } finally {
      stream.dispose();
    }
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
  /** EncryptString's form: the ciphertext as text, one character per byte. */
  function encryptString(text, options) {
    text = asText(text, 'the text');
    const o = optionsObject(options, CALL_OPTIONS, 'encryptString');
    return firstHistory(o, (h) => convertString(h, M._clscrypt_tostring_encrypt_string_utf16, text));
  }
  function decryptString(text, options) {
    text = asText(text, 'the text');
    const o = optionsObject(options, CALL_OPTIONS, 'decryptString');
    return tryHistories(o, (h) => convertString(h, M._clscrypt_tostring_decrypt_string_utf16, text));
  }

  /**
   * A web TransformStream that encrypts the `length` bytes written to it
   * (the format records the length first, so it must be known). Works with
   * pipeThrough, and in Node with stream.Readable.toWeb / Writable.toWeb and
   * pipeline. An abort of `signal` errors both sides with its reason. The
   * key material is freed when the stream ends, fails or is aborted.
   */
  function encryptStream(options) {
    const o = optionsObject(options, [...CALL_OPTIONS, 'length', 'signal'], 'encryptStream');
    if (o.length === undefined || o.length === null) throw new TypeError('encryptStream needs the length up front');
    return transform(true, o, lengthOption(o.length, 'length'));
  }
  /**
   * A TransformStream that decrypts a ciphertext written to it, under one
   * key history. Give `length` when known: then a wrong key is caught at the
   * second block, before any output.
   */
  function decryptStream(options) {
    const o = optionsObject(options, [...CALL_OPTIONS, 'length', 'signal'], 'decryptStream');
    const length = o.length === undefined || o.length === null ? UNKNOWN_LENGTH : lengthOption(o.length, 'length');
    return transform(false, o, length);
  }
  function transform(encrypting, o, length) {
    const signal = signalOption(o.signal);
    stopIfAborted(signal);
    const candidates = keyHistories(o.keys);
    if (candidates.length !== 1) throw new TypeError('a stream reads and writes under one key history');
    const h = newHandle(codePageOption(o.codepage), booleanOption(o.replaceUnmappable, 'replaceUnmappable'));
    let stream;
    try {
      for (const k of candidates[0]) setKey(h, k);
      const s = withWords(1, (out) => {
        check((encrypting ? M._clscrypt_encrypt_stream_new : M._clscrypt_decrypt_stream_new)(h, length, out));
        return u32(out);
      });
      let freed = false;
      stream = new ChunkStream(encrypting, s, check, () => {}, () => {
        if (!freed) M._clscrypt_tostring_free(h);
        freed = true;
      });
    } catch (e) {
      M._clscrypt_tostring_free(h);
      throw e;
    }
    let onAbort = null;
    const finish = () => {
      if (onAbort) signal.removeEventListener('abort', onAbort);
      onAbort = null;
      stream.dispose();
    };
    return new TransformStream({
      start(controller) {
        if (signal) {
          onAbort = () => {
            finish();
            controller.error(signal.reason ?? new DOMException('This operation was aborted', 'AbortError'));
          };
          signal.addEventListener('abort', onAbort, { once: true });
        }
      },
      transform(chunk, controller) {
        try {
          stopIfAborted(signal);
          const bytes = asBytes(chunk, 'a piece');
          for (let at = 0; at < bytes.length; at += PIECE) {
            const out = stream.update(bytes.subarray(at, at + PIECE));
            if (out.length) controller.enqueue(out);
          }
        } catch (e) {
          finish();
          throw e;
        }
      },
      flush(controller) {
        try {
          stopIfAborted(signal);
          const last = stream.final();
          if (last.length) controller.enqueue(last);
        } finally {
          finish();
        }
      },
      cancel() {
        finish();
      },
    });
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

  // ---- clsHsh -------------------------------------------------------------
  class clsHsh {
    /** SHA-256 of the text's low bytes, as 64 lower-case hexadecimal digits. */
    SHA256(text) {
      text = asText(text, 'the text');
      const p = utf16In(text);
      const hex = alloc(65);
      let h = 0;
      try {
        h = withWords(1, (out) => {
          check(M._clscrypt_hsh_new(out));
          return u32(out);
        });
        check(M._clscrypt_hsh_sha256_utf16(h, p, text.length, hex));
        return M.UTF8ToString(hex, 64);
      } finally {
        if (h) M._clscrypt_hsh_free(h);
        release(p, text.length * 2);
        release(hex, 65);
      }
    }
  }

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
  // memory: text as UTF-8, bytes as they are.
  function packValues(values, bytes, owned) {
    const list = Array.from(values, (v) => (bytes ? asBytes(v, 'a value') : asText(v, 'a value')));
    let bound = 0;
    for (const v of list) bound += bytes ? v.length : v.length * 3;
    const inBuf = alloc(bound);
    owned.push([inBuf, bound]);
    const offsets = alloc((list.length + 1) * 4);
    owned.push([offsets, (list.length + 1) * 4]);
    let at = 0;
    setU32(offsets, 0);
    list.forEach((v, i) => {
      if (bytes) {
        heap().set(v, inBuf + at);
        at += v.length;
      } else {
        at += utf8.encodeInto(v, heap().subarray(inBuf + at, inBuf + bound)).written;
      }
      setU32(offsets + 4 * (i + 1), at);
    });
    return { list, inBuf, offsets, count: list.length, size: at };
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
          try {
            setU32(size, cap);
            const st = many(packed.inBuf, packed.offsets, count, out, size, outOffsets, outcomes);
            if (st === TOO_SMALL) {
              cap = u32(size);
              continue;
            }
            check(st);
            const results = new Array(count);
            const h8 = heap();
            for (let i = 0; i < count; i++) {
              const kind = M.HEAP32[(outcomes + 8 * i) >>> 2];
              if (kind !== 0) {
                const input = inBytes ? packed.list[i] : h8.slice(packed.inBuf + u32(packed.offsets + 4 * i),
                  packed.inBuf + u32(packed.offsets + 4 * (i + 1)));
                results[i] = single(input);
                if (!inBytes) input.fill(0);
                continue;
              }
              const view = h8.subarray(out + u32(outOffsets + 4 * i), out + u32(outOffsets + 4 * (i + 1)));
              results[i] = {
                ok: true,
                value: outText ? fromUtf8.decode(view) : view.slice(),
                candidate: u32(outcomes + 8 * i + 4),
              };
            }
            return results;
          } finally {
            release(out, cap);
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

  return Object.freeze({
    encrypt,
    decrypt,
    encryptString,
    decryptString,
    encryptStream,
    decryptStream,
    encryptValues,
    decryptValues,
    rekeyValues,
    readHex,
    clsToString,
    clsHsh,
    RuntimeError,
    ErrorKind,
    errorCode,
    version: M.UTF8ToString(M._clscrypt_version()),
  });
}
