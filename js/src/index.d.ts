// Type declarations of the clscrypt package.

import { ErrorKind } from '../dist/kinds.mjs';

/** Error kinds, as the library numbers them (stable values; written from the C interface at build time). */
export { ErrorKind };
export type ErrorKindName = keyof typeof ErrorKind;

/** The stable string code of a kind: "WrongKeyOrDamaged" -> "ERR_CLSCRYPT_WRONG_KEY_OR_DAMAGED". */
export declare function errorCode(kind: ErrorKindName): string;

/** The error every operation raises; branch on `kind` or `code`, never on the text. */
export declare class RuntimeError extends Error {
  /** The kind as a stable string: "ERR_CLSCRYPT_WRONG_KEY_OR_DAMAGED", "ERR_CLSCRYPT_UNMAPPABLE", ... */
  readonly code: string;
  /** The legacy run-time error number (e.g. -2147221504 for a wrong key). */
  readonly number: number;
  /** The legacy description ("Incorrect size descriptor in Blowfish decryption"). */
  readonly description: string;
  readonly kind: ErrorKindName;
  readonly kindCode: number;
}

export type Bytes = Uint8Array | ArrayBufferView | ArrayBuffer;
/** What the package returns: a new array on an ArrayBuffer of its own (`new Blob([out])` takes it). */
export type Output = Uint8Array<ArrayBuffer>;

/** A Progress listener: may set `event.percent` to change what later listeners see (100 suppresses the closing event). */
export type ProgressListener = (percent: number, event: { percent: number }) => void;

export interface ProgressEvent {
  /** Adds a listener; returns a function that removes it. */
  subscribe(listener: ProgressListener): () => void;
}

/** A chunked stream: output comes out as pieces go in. */
export interface ChunkStream {
  update(chunk: Bytes): Output;
  /** Ends (and disposes) the stream; encryption returns the last bytes. */
  final(): Output;
  /** Decryption: the message's length once the first 16 bytes are in, else -1. */
  readonly messageLength: number;
  dispose(): void;
}

export interface LargeOptions {
  /** Total length; needed to encrypt a ReadableStream or iterable. */
  length?: number;
  key?: string;
  /** Called with each output piece, in order; awaited. */
  onChunk: (bytes: Output) => unknown;
  /** Largest piece handed to WebAssembly at once (default 1 MiB). */
  pieceSize?: number;
  /**
   * Aborting stops the work between pieces (or inside one, when a Progress
   * listener aborts) and rejects with the signal's reason (an AbortError
   * DOMException when it has none); the instance stays usable.
   */
  signal?: AbortSignal;
}

export type LargeSource = Blob | ReadableStream<Uint8Array> | Iterable<Bytes> | AsyncIterable<Bytes>;

/**
 * The legacy class, for code ported from the legacy program; new code uses
 * the stateless functions. Its key history is the instance's: a key set by
 * `c.Key = ...` or given to an operation as its `key` argument is mixed into
 * the instance's tables for good (even when that operation then fails), and
 * every later key is mixed in on top of it, exactly as the legacy class did.
 *
 * While an operation runs on an instance (its Progress listeners are being
 * called, a stream on it is open, or encryptLarge/decryptLarge has not
 * settled) Key(), calls given a key and dispose() throw a RuntimeError of
 * kind Busy; the running operation completes correctly. The large
 * operations hold the instance busy (they take no snapshot of its key).
 */
export declare class clsToString {
  /**
   * `codepage`: 874 or 1250-1258; 0 (the default) stands for 1252. Keys and
   * texts with a character the code page lacks are refused (kind
   * Unmappable) unless `replaceUnmappable` asks for the legacy "?".
   */
  constructor(options?: { codepage?: number; replaceUnmappable?: boolean });
  readonly Progress: ProgressEvent;
  readonly codepage: number;
  /** The write-only Key property: `c.Key = 'secret'` mixes a key in; reading it throws a TypeError. */
  set Key(key: string);
  /** Returns the ciphertext as a new array: typed arrays cannot be resized in place. */
  EncryptByte(bytes: Bytes, key?: string): Output;
  /** Returns the message as a new array; the argument is left as it was. */
  DecryptByte(bytes: Bytes, key?: string): Output;
  EncryptString(text: string, key?: string): string;
  DecryptString(text: string, key?: string): string;
  StrToHex(text: string, separator?: string): string;
  HexToStr(hex: string, separators?: number): string;
  createEncryptStream(length: number | bigint, key?: string): ChunkStream;
  createDecryptStream(length?: number | bigint | null, key?: string): ChunkStream;
  encryptLarge(source: LargeSource, options: LargeOptions): Promise<void>;
  decryptLarge(source: LargeSource, options: LargeOptions): Promise<void>;
  /** Wipes and frees the key material in WebAssembly memory (kind Busy while an operation runs on it). */
  dispose(): void;
}

export declare class clsHsh {
  /** SHA-256 of the text's low bytes, 64 lower-case hexadecimal digits. */
  SHA256(text: string): string;
}

export interface ValueOptions {
  /** Key histories tried in order; each an array of keys applied in order (or one key). */
  keys: Array<string | string[]>;
  /** The history encryption writes under (default: the first of `keys`). */
  target?: string | string[];
  codepage?: number;
  plain?: 'text' | 'bytes';
  form?: 'hex' | 'base64' | 'string' | 'bytes';
  /** Between written hexadecimal pairs. */
  separator?: string;
  /** Characters the code page lacks become "?" instead of being refused (kind Unmappable). */
  replaceUnmappable?: boolean;
}

export type ValueOutcome<T> =
  | { ok: true; value: T; candidate?: number }
  | { ok: false; error: RuntimeError };

/**
 * Keys of a stateless call: one key history (keys applied in order, oldest
 * first; `[]` for data written without a key), or, to decrypt, candidate
 * histories tried in order (encryption writes under the first).
 */
export type Keys = string | string[] | string[][];

export interface CallOptions {
  keys: Keys;
  /** 874 or 1250-1258; 0 (the default) stands for 1252. */
  codepage?: number;
  /** Characters the code page lacks become the legacy "?" instead of being refused (kind Unmappable). */
  replaceUnmappable?: boolean;
}

export interface StreamOptions extends CallOptions {
  /** One key history only. */
  keys: string | string[];
  /** The total length in bytes: needed to encrypt; lets decryption catch a wrong key before any output. */
  length?: number | bigint;
  /** Aborting errors both sides of the stream with the signal's reason. */
  signal?: AbortSignal;
}

export interface RekeyOptions extends Omit<ValueOptions, 'plain' | 'form'> {
  from?: 'hex' | 'base64' | 'string' | 'bytes';
  to?: 'hex' | 'base64' | 'string' | 'bytes';
}

export interface Clscrypt {
  /** Encrypts bytes; holds nothing after it returns. About 3x the data in memory: use encryptStream for large data. */
  encrypt(data: Bytes, options: CallOptions): Output;
  /** Decrypts a ciphertext; candidate histories are tried in order. */
  decrypt(ciphertext: Bytes, options: CallOptions): Output;
  /** The string operation's form: the ciphertext as code-page text, one character per byte. */
  encryptString(text: string, options: CallOptions): string;
  decryptString(text: string, options: CallOptions): string;
  /** A TransformStream that encrypts `length` bytes (the length is required). */
  encryptStream(options: StreamOptions & { length: number | bigint }): TransformStream<Bytes, Output>;
  decryptStream(options: StreamOptions): TransformStream<Bytes, Output>;
  encryptValues(values: Iterable<string | Bytes>, options: ValueOptions): Array<ValueOutcome<string | Output>>;
  decryptValues(values: Iterable<string | Bytes>, options: ValueOptions): Array<ValueOutcome<string | Output>>;
  /** Reads each value under the first history of `keys` that reads it and writes it under `target`. */
  rekeyValues(values: Iterable<string | Bytes>, options: RekeyOptions): Array<ValueOutcome<string | Output>>;
  clsToString: typeof clsToString;
  clsHsh: typeof clsHsh;
  /**
   * Bytes of ciphertext hex by the library's one rule (either case; white
   * space and ASCII punctuation skipped; one leading "\x" skipped); other
   * text raises kind InvalidArgument naming the position.
   */
  readHex(text: string): Output;
  RuntimeError: typeof RuntimeError;
  ErrorKind: typeof ErrorKind;
  errorCode: typeof errorCode;
  version: string;
}

/** Loads the WebAssembly module (embedded; nothing is fetched) once. */
export declare function load(): Promise<Clscrypt>;
