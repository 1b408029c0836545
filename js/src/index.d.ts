// Type declarations of the clscrypt package.

/** Error kinds, as the library numbers them (stable values). */
export declare const ErrorKind: Readonly<{
  Other: 1;
  InvalidArgument: 2;
  Overflow: 3;
  SubscriptOutOfRange: 4;
  DivisionByZero: 5;
  WrongKeyOrDamaged: 6;
  SourceMissing: 7;
  FileSystem: 8;
  System: 9;
  OutOfMemory: 10;
  Cancelled: 11;
  BufferTooSmall: 12;
  /** An instance inside an operation refused a call that would change its key or tables or free it. */
  Busy: 13;
  /** A key or text has a character the code page lacks (the message names its position, never it). */
  Unmappable: 14;
}>;
export type ErrorKindName = keyof typeof ErrorKind;

/** The error every operation raises; branch on `kind`, never on the text. */
export declare class RuntimeError extends Error {
  /** The legacy run-time error number (e.g. -2147221504 for a wrong key). */
  readonly number: number;
  /** The legacy description ("Incorrect size descriptor in Blowfish decryption"). */
  readonly description: string;
  readonly kind: ErrorKindName;
  readonly kindCode: number;
}

export type Bytes = Uint8Array | ArrayBufferView | ArrayBuffer;

/** A Progress listener: may set `event.percent` to change what later listeners see (100 suppresses the closing event). */
export type ProgressListener = (percent: number, event: { percent: number }) => void;

export interface ProgressEvent {
  /** Adds a listener; returns a function that removes it. */
  subscribe(listener: ProgressListener): () => void;
}

/** A chunked stream: output comes out as pieces go in. */
export interface ChunkStream {
  update(chunk: Bytes): Uint8Array;
  /** Ends (and disposes) the stream; encryption returns the last bytes. */
  final(): Uint8Array;
  /** Decryption: the message's length once the first 16 bytes are in, else -1. */
  readonly messageLength: number;
  dispose(): void;
}

export interface LargeOptions {
  /** Total length; needed to encrypt a ReadableStream or iterable. */
  length?: number;
  key?: string;
  /** Called with each output piece, in order; awaited. */
  onChunk: (bytes: Uint8Array) => unknown;
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
  /** The write-only Key property. */
  Key(key: string): void;
  /** Returns the ciphertext as a new array: typed arrays cannot be resized in place. */
  EncryptByte(bytes: Bytes, key?: string): Uint8Array;
  /** Returns the message as a new array; the argument is left as it was. */
  DecryptByte(bytes: Bytes, key?: string): Uint8Array;
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

export interface Clscrypt {
  clsToString: typeof clsToString;
  clsHsh: typeof clsHsh;
  encryptValues(values: Iterable<string | Bytes>, options: ValueOptions): Array<ValueOutcome<string | Uint8Array>>;
  decryptValues(values: Iterable<string | Bytes>, options: ValueOptions): Array<ValueOutcome<string | Uint8Array>>;
  /**
   * Bytes of ciphertext hex by the library's one rule (either case; white
   * space and ASCII punctuation skipped; one leading "\x" skipped); other
   * text raises kind InvalidArgument naming the position.
   */
  readHex(text: string): Uint8Array;
  RuntimeError: typeof RuntimeError;
  ErrorKind: typeof ErrorKind;
  version: string;
}

/** Loads the WebAssembly module (embedded; nothing is fetched) once. */
export declare function load(): Promise<Clscrypt>;
