// clscrypt for JavaScript: the library compiled to WebAssembly, behind the
// names of the two legacy classes. Every operation is the library's own,
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

/**
 * The error every operation raises: the legacy run-time error number and
 * description callers test for, and the kind that tells a wrong key from
 * other failures sharing the number. Branch on `kind`, never on the text.
 */
export class RuntimeError extends Error {
  constructor(number, description, kind, message) {
    super(message || description);
    this.name = 'RuntimeError';
    this.number = number;
    this.description = description;
    this.kindCode = kind;
    this.kind = kindNames[kind] ?? 'Other';
  }
}

const OK = 0;
const CANCELLED = 5;
const INVALID_ARGUMENT = 5; // the legacy number of kinds Busy and Unmappable too
const INVALID_ARGUMENT_TEXT = 'Invalid procedure call or argument';
const UNKNOWN_LENGTH = 0xffffffffffffffffn;
const STORED_FORMS = { bytes: 0, hex: 1, base64: 2, string: 3 };
const PLAIN_FORMS = { text: 0, bytes: 1 };
const utf8 = new TextEncoder();
const fromUtf8 = new TextDecoder('utf-8', { fatal: false });

let loading = null;

/**
 * Loads the WebAssembly module (once; later calls share it) and returns the
 * API bound to it. The module is embedded in this package: nothing is
 * fetched.
 */
export function load() {
  if (loading === null) {
    loading = randomSource().then(() => createClscryptModule()).then(bind);
  }
  return loading;
}

// The header words come from crypto.getRandomValues, which browsers and
// Node 19+ offer globally. Node 18 keeps it in node:crypto: it is made
// global there, as later releases have it. Without it the module refuses
// to encrypt; it never falls back to a weaker source.
async function randomSource() {
  if (typeof globalThis.crypto?.getRandomValues === 'function') return;
  if (typeof process === 'object' && process.versions?.node) {
    const { webcrypto } = await import('node:crypto');
    if (typeof globalThis.crypto === 'undefined') globalThis.crypto = webcrypto;
  }
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

  class clsToString {
    #h = 0;
    #callback = 0;
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
    constructor({ codepage = 0, replaceUnmappable = false } = {}) {
      // What the progress callback needs, apart from the instance: the
      // callback stays reachable from WebAssembly's function table, and
      // must not keep the instance from being collected. `listening` counts
      // the listener calls under way: the instance is inside an operation.
      const state = { progress: new ProgressEvent(), failure: null, listening: 0 };
      this.#state = state;
      this.Progress = state.progress;
      const h = withWords(1, (out) => {
        check(M._clscrypt_tostring_new(codepage | 0, out));
        return u32(out);
      });
      try {
        check(M._clscrypt_tostring_set_refuse_unmappable(h, replaceUnmappable ? 0 : 1));
      } catch (e) {
        M._clscrypt_tostring_free(h);
        throw e;
      }
      this.#h = h;
      // Listeners run inside the operation; an exception may not unwind
      // through WebAssembly frames, so it is kept, the operation cancelled,
      // and the exception raised once the operation has returned.
      this.#callback = M.addFunction((percentPtr) => {
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
      check(M._clscrypt_tostring_set_progress(this.#h, this.#callback, 0));
      const callback = this.#callback;
      registry.register(
        this,
        () => {
          M._clscrypt_tostring_free(h);
          M.removeFunction(callback);
        },
        this.#token,
      );
    }

    #handle() {
      if (this.#h === 0) throw new RuntimeError(5, 'Invalid procedure call or argument', ErrorKind.InvalidArgument,
        'Invalid procedure call or argument: the instance was disposed');
      return this.#h;
    }
    // Checks a status; a listener's exception comes first.
    #check(status) {
      const failure = this.#state.failure;
      this.#state.failure = null;
      if (status === CANCELLED && failure !== null) throw failure;
      check(status);
    }

    get codepage() {
      return M._clscrypt_tostring_codepage(this.#handle());
    }

    /**
     * The write-only Key property: mixes a new key into the tables. Refused
     * with kind Busy while an operation runs on the instance (from a
     * Progress listener, with a stream open, during encryptLarge or
     * decryptLarge).
     */
    Key(k) {
      k = asText(k, 'the key');
      const h = this.#handle();
      // The library refuses while a stream is open or a listener runs; a
      // large operation is held busy here too while it awaits its source or
      // onChunk after its stream has closed.
      if (this.#large > 0) throw busy('setting the key');
      const p = utf16In(k);
      try {
        this.#check(M._clscrypt_tostring_set_key_utf16(h, p, k.length));
      } finally {
        release(p, k.length * 2);
      }
    }
    #keyArg(key) {
      if (key !== undefined && key !== null && key !== '') this.Key(key);
    }

    /**
     * Encrypts `bytes` and returns the ciphertext as a new Uint8Array
     * (typed arrays cannot be resized in place, so the argument is left as
     * it was). A non-empty `key` is set first and stays in force.
     */
    EncryptByte(bytes, key) {
      return this.#bytes(true, asBytes(bytes, 'the bytes'), key);
    }
    /** Decrypts `bytes` into a new Uint8Array; the argument is unchanged. */
    DecryptByte(bytes, key) {
      return this.#bytes(false, asBytes(bytes, 'the bytes'), key);
    }
    #bytes(encrypt, bytes, key) {
      const h = this.#handle();
      this.#keyArg(key);
      const capacity = encrypt ? Math.max(Number(M._clscrypt_encrypted_size(bytes.length)), 16) : bytes.length;
      const input = bytesIn(bytes);
      const out = alloc(capacity);
      try {
        return withWords(1, (size) => {
          setU32(size, capacity);
          const run = encrypt ? M._clscrypt_tostring_encrypt : M._clscrypt_tostring_decrypt;
          this.#check(run(h, input, bytes.length, out, size));
          return heap().slice(out, out + u32(size));
        });
      } finally {
        release(input, bytes.length);
        release(out, capacity);
      }
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
      const p = utf16In(text);
      try {
        return withWords(2, (w) => {
          this.#check(run(h, p, text.length, w, w + 4));
          return takeUtf16(w);
        });
      } finally {
        release(p, text.length * 2);
      }
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
      this.#keyArg(key);
      return this.#stream(true, BigInt(length));
    }
    /**
     * Decryption of a ciphertext handed over in pieces; give its `length`
     * when known (a File's size): then a wrong key is always caught at the
     * second block, before any output.
     */
    createDecryptStream(length, key) {
      this.#keyArg(key);
      return this.#stream(false, length === undefined || length === null ? UNKNOWN_LENGTH : BigInt(length));
    }
    /**
     * Encrypts or decrypts a large source in pieces with bounded memory: a
     * Blob or File (browsers, Node 20), a ReadableStream, or any (async)
     * iterable of byte arrays. Calls `onChunk` with each output piece (await
     * it to write); `length` is needed for encryption of a stream or
     * iterable. The instance is held busy until the returned promise
     * settles: Key(), dispose() and any call given a key are refused with
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
    async #pipe(encrypt, source, { length, key, onChunk, pieceSize = 1 << 20, signal } = {}) {
      if (typeof onChunk !== 'function') throw new TypeError('onChunk must be a function');
      if (signal !== undefined && signal !== null && typeof signal.aborted !== 'boolean') {
        throw new TypeError('signal must be an AbortSignal');
      }
      stopIfAborted(signal);
      let total = length;
      let pieces;
      if (typeof Blob !== 'undefined' && source instanceof Blob) {
        total = source.size;
        pieces = blobPieces(source, pieceSize);
      } else if (source && typeof source.getReader === 'function') {
        pieces = readerPieces(source.getReader());
      } else {
        pieces = source;
      }
      if (encrypt && (total === undefined || total === null)) {
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
      M.removeFunction(this.#callback);
      this.#h = 0;
    }
  }

  // One chunked stream; its input and output buffers live in WebAssembly
  // memory and are reused from piece to piece.
  class ChunkStream {
    #s;
    #encrypt;
    #check;
    #closed;
    #running = false;
    #mem = { buf: 0, cap: 0 }; // shared with the safety net below
    #token = {};
    constructor(encrypt, s, checkStatus, onClose) {
      this.#encrypt = encrypt;
      this.#s = s;
      this.#check = checkStatus;
      this.#closed = onClose;
      const mem = this.#mem;
      const free = encrypt ? M._clscrypt_encrypt_stream_free : M._clscrypt_decrypt_stream_free;
      registry.register(
        this,
        () => {
          free(s);
          release(mem.buf, mem.cap);
        },
        this.#token,
      );
    }
    #room(n) {
      const need = 2 * n + 16;
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
      if (this.#s === 0) throw new RuntimeError(5, 'Invalid procedure call or argument', ErrorKind.InvalidArgument,
        'Invalid procedure call or argument: the stream was disposed');
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
      const out = buf + n;
      return withWords(1, (size) => {
        setU32(size, n + 16);
        const run = this.#encrypt ? M._clscrypt_encrypt_stream_update : M._clscrypt_decrypt_stream_update;
        try {
          this.#check(this.#run(() => run(s, buf, n, out, size)));
          return heap().slice(out, out + u32(size));
        } finally {
          M._clscrypt_wipe(buf, 2 * n + 16);
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
  function stopIfAborted(signal) {
    if (signal?.aborted) {
      throw signal.reason !== undefined ? signal.reason : new DOMException('This operation was aborted', 'AbortError');
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
  // Runs `each(handle, value)` over the values with a bulk-value handle made
  // from the options; every value gets its own outcome.
  function withValues(options, run) {
    const { keys, target, codepage = 0, separator = '', replaceUnmappable = false } = options ?? {};
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
        check(M._clscrypt_values_new(cand, keys.length, tgt, codepage | 0, sep,
            // keys: [] is written out by the caller: an explicit choice of no key.
            (replaceUnmappable ? 1 : 0) | 2, out));
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
  function valueIn(v, bytes) {
    if (bytes) return asBytes(v, 'a value');
    return utf8.encode(asText(v, 'a value'));
  }
  // One value through `call(in, inSize, out, sizePtr, candidatePtr)`, with
  // the output buffer grown when the library asks for more.
  function oneValue(input, call, asText) {
    const p = bytesIn(input);
    let cap = input.length * 2 + 64;
    try {
      return withWords(2, (w) => {
        for (;;) {
          const out = alloc(cap);
          try {
            setU32(w, cap);
            const st = call(p, input.length, out, w, w + 4);
            if (st === 3) {
              cap = u32(w);
              continue;
            }
            if (st !== OK) return { ok: false, error: lastError() };
            const got = heap().slice(out, out + u32(w));
            return { ok: true, value: asText ? fromUtf8.decode(got) : got, candidate: u32(w + 4) };
          } finally {
            release(out, cap);
          }
        }
      });
    } finally {
      release(p, input.length);
    }
  }

  /**
   * Encrypts many short values under the target key history (default: the
   * first of `keys`). Options: keys (key histories: arrays of keys applied in
   * order), target, codepage, plain ('text' | 'bytes'), form ('hex' |
   * 'base64' | 'string' | 'bytes'), separator (between hexadecimal pairs),
   * replaceUnmappable. Returns one outcome per value: { ok: true, value } or
   * { ok: false, error: RuntimeError }.
   */
  function encryptValues(values, options = {}) {
    const plain = form(PLAIN_FORMS, options.plain ?? 'text', 'plaintext form');
    const stored = form(STORED_FORMS, options.form ?? 'hex', 'stored form');
    return withValues(options, (h) =>
      Array.from(values, (v) => {
        const input = valueIn(v, plain === PLAIN_FORMS.bytes);
        const r = oneValue(input, (p, n, out, size) => M._clscrypt_values_encrypt(h, p, n, plain, stored, out, size),
          stored !== STORED_FORMS.bytes);
        if (plain !== PLAIN_FORMS.bytes) input.fill(0);
        if (r.ok) delete r.candidate;
        return r;
      }),
    );
  }

  /**
   * Decrypts many short values, trying the key histories of `keys` in order;
   * options as for encryptValues. Returns { ok: true, value, candidate } (the
   * index of the history that read it) or { ok: false, error } per value.
   */
  function decryptValues(values, options = {}) {
    const plain = form(PLAIN_FORMS, options.plain ?? 'text', 'plaintext form');
    const stored = form(STORED_FORMS, options.form ?? 'hex', 'stored form');
    // Hexadecimal values are read by the library's one rule for ciphertext
    // hex (readHex), then decrypted as bytes.
    const hex = stored === STORED_FORMS.hex;
    const given = hex ? STORED_FORMS.bytes : stored;
    return withValues(options, (h) =>
      Array.from(values, (v) => {
        let input;
        try {
          input = hex ? readHex(v) : valueIn(v, stored === STORED_FORMS.bytes);
        } catch (e) {
          if (e instanceof RuntimeError) return { ok: false, error: e };
          throw e;
        }
        return oneValue(input,
          (p, n, out, size, cand) => M._clscrypt_values_decrypt(h, p, n, given, plain, out, size, cand),
          plain === PLAIN_FORMS.text);
      }),
    );
  }

  return Object.freeze({
    clsToString,
    clsHsh,
    encryptValues,
    decryptValues,
    readHex,
    RuntimeError,
    ErrorKind,
    version: M.UTF8ToString(M._clscrypt_version()),
  });
}
