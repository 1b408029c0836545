// Data in pieces: the chunked stream over the library's stream calls (the
// legacy class's createEncryptStream and the one-shot calls use it), the
// web TransformStreams of encryptStream / decryptStream, and the sources a
// large operation reads from.
import { busy, disposed } from './errors.mjs';
import {
  CALL_OPTIONS, PIECE, UNKNOWN_LENGTH, asBytes, codePageOption, booleanOption, keyHistories, lengthOption,
  optionsObject, signalOption, stopIfAborted,
} from './options.mjs';

/** The stream helpers bound to the memory helpers `w` of one module. */
export function streams(w) {
  const { M, heap, alloc, release, withWords, u32, setU32, check, registry, newHandle, newStream, setKey } = w;

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

  return { ChunkStream, wholeThroughStream, cancellable, blobPieces, readerPieces, encryptStream, decryptStream };
}
