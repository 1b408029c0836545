// The legacy classes, for code ported from the legacy program: clsToString
// with its instance-held key history, Progress event and large operations,
// and clsHsh.
import { busy, disposed } from './errors.mjs';
import {
  PIECE, UNKNOWN_LENGTH, asBytes, asText, booleanOption, codePageOption, lengthOption, optionsObject, pieceSizeOption,
  signalOption, stopIfAborted,
} from './options.mjs';
import { CANCELLED } from './memory.mjs';

// A listener's exception is kept until the operation returns; this marks
// "none", so that even `throw null` or `throw undefined` is raised as it was.
const NONE = Symbol('none');

/** The legacy classes bound to the memory helpers `w` and stream helpers `s`. */
export function legacy(w, s) {
  const {
    M, heap, alloc, release, utf16In, withWords, u32, setU32, check, takeUtf16, registry, newHandle, newStream, setKey,
    convertString,
  } = w;
  const {
    ChunkStream, wholeThroughStream, stringThroughStream, strToHexInPieces, hexToStrInPieces, cancellable, blobPieces,
    readerPieces,
  } = s;

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

    // Up to a piece, the library's whole-array call in one WebAssembly
    // buffer converted in place (the library copies it once more inside):
    // a few MiB at most, and the quickest way for short data. Beyond, a
    // stream on the instance in pieces, so that the caller's array and the
    // result are all the memory it takes (about 2x the data) rather than
    // two more copies in WebAssembly memory, which never shrinks. Both give
    // the bytes, errors and Progress events of the whole-array operation.
    #whole(encrypt, bytes) {
      if (bytes.length > PIECE) {
        return wholeThroughStream(this.#stream(encrypt, BigInt(bytes.length)), encrypt, bytes);
      }
      const h = this.#handle();
      const capacity = encrypt ? Math.max(Number(M._clscrypt_encrypted_size(bytes.length)), 16) : Math.max(bytes.length, 1);
      const buf = alloc(capacity);
      try {
        heap().set(bytes, buf);
        return withWords(1, (size) => {
          setU32(size, capacity);
          const run = encrypt ? M._clscrypt_tostring_encrypt : M._clscrypt_tostring_decrypt;
          this.#check(run(h, buf, bytes.length, buf, size));
          return heap().slice(buf, buf + u32(size));
        });
      } finally {
        release(buf, capacity);
      }
    }

    /**
     * Encrypts `bytes` and returns the ciphertext as a new Uint8Array
     * (typed arrays cannot be resized in place, so the argument is left as
     * it was). A non-empty `key` is mixed into the instance first and stays
     * in force, even when the call fails.
     */
    EncryptByte(bytes, key) {
      bytes = asBytes(bytes, 'the bytes');
      this.#handle();
      this.#keyArg(key);
      return this.#whole(true, bytes);
    }
    /** Decrypts `bytes` into a new Uint8Array; the argument is unchanged. */
    DecryptByte(bytes, key) {
      bytes = asBytes(bytes, 'the bytes');
      this.#handle();
      this.#keyArg(key);
      return this.#whole(false, bytes);
    }

    /** EncryptString: the ciphertext as text, one character per byte. */
    EncryptString(text, key) {
      return this.#string(true, asText(text, 'the text'), key);
    }
    DecryptString(text, key) {
      return this.#string(false, asText(text, 'the text'), key);
    }
    // As #whole: up to a piece the library's whole-text call, beyond it a
    // stream on the instance in pieces, so that the text and the result
    // are all the memory it takes (see stringThroughStream).
    #string(encrypt, text, key) {
      const h = this.#handle();
      this.#keyArg(key);
      if (text.length > PIECE) {
        return stringThroughStream(h, this.#stream(encrypt, BigInt(text.length)), encrypt, text,
          (st) => this.#check(st));
      }
      const run = encrypt ? M._clscrypt_tostring_encrypt_string_utf16 : M._clscrypt_tostring_decrypt_string_utf16;
      return convertString(h, run, text, (st) => this.#check(st));
    }

    /** Each character's code-page byte as two upper-case hexadecimal digits. */
    StrToHex(text, separator = ' ') {
      text = asText(text, 'the text');
      separator = asText(separator, 'the separator');
      // A long text in pieces, while its result cannot reach the library's
      // length limit (a longer separator could; its whole-text call says so).
      if (text.length > PIECE && separator.length <= 2) return strToHexInPieces(this.#handle(), text, separator);
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
      separators |= 0;
      const whole = () => {
        const p = utf16In(hex);
        try {
          return withWords(2, (w) => {
            check(M._clscrypt_tostring_hex_to_str_utf16(this.#handle(), p, hex.length, separators, w, w + 4));
            return takeUtf16(w);
          });
        } finally {
          release(p, hex.length * 2);
        }
      };
      // A long text in pieces of whole pairs (pairs a separator apart).
      if (hex.length > PIECE && separators >= 0 && separators + 2 <= PIECE) {
        return hexToStrInPieces(this.#handle(), hex, separators, whole);
      }
      return whole();
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
      const s = newStream(h, encrypt, length, (st) => this.#check(st));
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

  return { clsToString, clsHsh };
}
