// Data in pieces: the chunked stream over the library's stream calls (the
// legacy class's createEncryptStream and the one-shot calls use it), the
// web TransformStreams of encryptStream / decryptStream, and the sources a
// large operation reads from.
import { busy, disposed } from './errors.mjs';
import { OK } from './memory.mjs';
import {
  CALL_OPTIONS, PIECE, UNKNOWN_LENGTH, asBytes, codePageOption, booleanOption, keyHistories, lengthOption,
  optionsObject, signalOption, stopIfAborted,
} from './options.mjs';

/** The stream helpers bound to the memory helpers `w` of one module. */
export function streams(w) {
  const {
    M, heap, alloc, release, withWords, u32, setU32, check, lastError, takeUtf16, registry, newHandle, newStream, setKey,
  } = w;

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
      return this.updateWith(bytes.length, (buf) => heap().set(bytes, buf), (buf, size) => heap().slice(buf, buf + size));
    }
    /**
     * Takes the next piece of `n` bytes, written into WebAssembly memory by
     * `fill(pointer)`; `take(pointer, size)` reads the output it completes
     * there before the buffer is wiped, and its result is returned.
     */
    updateWith(n, fill, take) {
      const s = this.#live();
      const buf = this.#room(n);
      try {
        fill(buf);
        return withWords(1, (size) => {
          setU32(size, n + 16);
          const run = this.#encrypt ? M._clscrypt_encrypt_stream_update : M._clscrypt_decrypt_stream_update;
          this.#check(this.#run(() => run(s, buf, n, buf, size)));
          return take(buf, u32(size));
        });
      } finally {
        M._clscrypt_wipe(buf, n + 16);
      }
    }
    /**
     * Ends the stream: for encryption the last ciphertext bytes; for
     * decryption the check that all came (an empty array). Disposes it.
     */
    final() {
      return this.finalWith((buf, size) => heap().slice(buf, buf + size));
    }
    /** final() with the last bytes read by `take(pointer, size)` in place. */
    finalWith(take) {
      const s = this.#live();
      try {
        if (!this.#encrypt) {
          this.#check(this.#run(() => M._clscrypt_decrypt_stream_final(s)));
          return take(0, 0);
        }
        const buf = this.#room(16);
        return withWords(1, (size) => {
          setU32(size, 16);
          this.#check(this.#run(() => M._clscrypt_encrypt_stream_final(s, buf, size)));
          return take(buf, u32(size));
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

  // A whole array through a chunked stream, in pieces: WebAssembly memory
  // holds one piece at a time and the result is written straight into its
  // array, so the data and the result are all the memory a call takes (the
  // whole-array operation of the library would hold the data twice in
  // WebAssembly memory, which never shrinks). The bytes, errors and progress
  // events are those of the whole-array operation. Disposes the stream.
  function wholeThroughStream(stream, encrypting, bytes) {
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

  // Long texts go in pieces of at most PIECE UTF-16 units, never between
  // the two units of a surrogate pair: `at` and the end of the next piece.
  function pieceEnd(text, at, size = PIECE) {
    let end = Math.min(at + size, text.length);
    if (end < text.length) {
      const c = text.charCodeAt(end - 1);
      if (c >= 0xd800 && c <= 0xdbff) end--;
    }
    return end;
  }
  // Copies text[from, end) into WebAssembly memory at `p` as UTF-16 units.
  function unitsIn(text, from, end, p) {
    const units = new Uint16Array(heap().buffer, p, end - from);
    for (let i = from; i < end; i++) units[i - from] = text.charCodeAt(i);
  }
  // A string of `length` UTF-16 units at `p`, made a slice at a time: the
  // pieces are concatenated, not copied into one flat string, so the
  // result costs its own size and no more.
  function unitsOut(p, length) {
    let s = '';
    for (let i = 0; i < length; i += 8192) {
      s += String.fromCharCode.apply(null, new Uint16Array(heap().buffer, p + 2 * i, Math.min(8192, length - i)));
    }
    return s;
  }

  /**
   * EncryptString or DecryptString of a long text through a chunked stream
   * (made for text.length bytes), a piece at a time: the library converts
   * each piece of text to code-page bytes, the stream encrypts or decrypts
   * them in place and the library turns the output back into characters.
   * The text, the result and a piece or two in WebAssembly memory are all
   * it takes, where the whole-text call held the text three times more in
   * WebAssembly memory and once more in JavaScript. Gives the characters,
   * errors and Progress events of the whole-text call (the conversion goes
   * character by character). Disposes the stream.
   */
  function stringThroughStream(h, stream, encrypting, text, checkStatus = check) {
    const units = alloc((PIECE + 16) * 2);
    try {
      return withWords(1, (position) => {
        const toBytes = (from, end, out, verify) => {
          unitsIn(text, from, end, units);
          checkStatus(M._clscrypt_tostring_text_to_bytes_utf16(h, units, end - from, verify ? 1 : 0, position, out));
        };
        // A character the code page lacks is refused before any block is
        // encrypted (and any Progress event), as by the whole-text call: a
        // first pass converts every piece and keeps nothing.
        if (encrypting) {
          const scratch = alloc(PIECE);
          try {
            setU32(position, 0);
            for (let from = 0, end; from < text.length; from = end) {
              end = pieceEnd(text, from);
              toBytes(from, end, scratch, true);
            }
          } finally {
            release(scratch, PIECE);
          }
        }
        setU32(position, 0);
        const toText = (buf, size) => {
          checkStatus(M._clscrypt_tostring_bytes_to_text_utf16(h, buf, size, units));
          return unitsOut(units, size);
        };
        let out = '';
        for (let from = 0, end; from < text.length; from = end) {
          end = pieceEnd(text, from);
          out += stream.updateWith(end - from, (buf) => toBytes(from, end, buf, encrypting), toText);
        }
        return out + stream.finalWith(toText);
      });
    } finally {
      release(units, (PIECE + 16) * 2);
      stream.dispose();
    }
  }

  /**
   * StrToHex of a long text in pieces: one pass refuses (as the whole-text
   * call would) a character the code page lacks, naming its place in the
   * whole text; then each piece is written by the library's StrToHex from
   * one character before it, whose pair is left out, so the separator
   * between the pieces is the library's own.
   */
  function strToHexInPieces(h, text, separator) {
    const units = alloc((PIECE + 1) * 2);
    const sep = alloc(separator.length * 2);
    try {
      unitsIn(separator, 0, separator.length, sep);
      return withWords(2, (w) => {
        const scratch = alloc(PIECE);
        try {
          setU32(w, 0);
          for (let from = 0, end; from < text.length; from = end) {
            end = pieceEnd(text, from);
            unitsIn(text, from, end, units);
            check(M._clscrypt_tostring_text_to_bytes_utf16(h, units, end - from, 1, w, scratch));
          }
        } finally {
          release(scratch, PIECE);
        }
        let out = '';
        for (let from = 0, end; from < text.length; from = end) {
          end = pieceEnd(text, from);
          const start = from === 0 ? 0 : from - 1;
          unitsIn(text, start, end, units);
          check(M._clscrypt_tostring_str_to_hex_utf16(h, units, end - start, sep, separator.length, w, w + 4));
          const p = u32(w);
          const skip = start === from ? 0 : 2;
          try {
            out += unitsOut(p + 2 * skip, u32(w + 4) - skip);
          } finally {
            M._clscrypt_free(p);
          }
        }
        return out;
      });
    } finally {
      release(units, (PIECE + 1) * 2);
      release(sep, separator.length * 2);
    }
  }

  /**
   * HexToStr of long hexadecimal text with `separators` (0 or more) in
   * pieces of whole pairs with their separators; the last piece takes the
   * rest, so the library counts its pairs as in the whole text. A piece
   * that fails is answered by the whole-text call, whose message names the
   * place in the whole text.
   */
  function hexToStrInPieces(h, hex, separators, whole) {
    const step = separators + 2;
    const span = Math.max(1, Math.floor(PIECE / step)) * step;
    const units = alloc(2 * span * 2);
    try {
      return withWords(2, (w) => {
        let out = '';
        for (let from = 0; from < hex.length;) {
          const end = hex.length - from > 2 * span ? from + span : hex.length;
          unitsIn(hex, from, end, units);
          const status = M._clscrypt_tostring_hex_to_str_utf16(h, units, end - from, separators, w, w + 4);
          if (status !== OK) {
            const e = lastError();
            if (e.kind !== 'Cancelled') whole();
            throw e;
          }
          out += takeUtf16(w);
          from = end;
        }
        return out;
      });
    } finally {
      release(units, 2 * span * 2);
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
      const s = newStream(h, encrypting, length);
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

  return {
    ChunkStream, wholeThroughStream, stringThroughStream, strToHexInPieces, hexToStrInPieces, cancellable, blobPieces,
    readerPieces, encryptStream, decryptStream,
  };
}
