// Argument checks, made before anything reaches WebAssembly: a mistyped or
// out-of-range argument is a TypeError or RangeError of the caller's, never
// a value silently taken as something else.

/** The length of a decryption whose total is not known (2^64 - 1). */
export const UNKNOWN_LENGTH = 0xffffffffffffffffn;
/** The largest piece a stream hands to WebAssembly at once. */
export const PIECE = 1 << 20;

export function optionsObject(options, allowed, what) {
  if (options === undefined) return {};
  if (options === null || typeof options !== 'object' || Array.isArray(options)) {
    throw new TypeError(`${what} takes an options object ({ ${allowed.join(', ')} })`);
  }
  for (const name of Object.keys(options)) {
    if (!allowed.includes(name)) throw new TypeError(`${what}: unknown option "${name}" (one of ${allowed.join(', ')})`);
  }
  return options;
}
export function codePageOption(codepage) {
  if (codepage === undefined) return 0;
  if (typeof codepage !== 'number') throw new TypeError('codepage must be a number (874, 1250-1258; 0 for 1252)');
  if (!Number.isInteger(codepage)) throw new RangeError('codepage must be an integer (874, 1250-1258; 0 for 1252)');
  // Other integers reach the library, which refuses them (kind InvalidArgument).
  return codepage;
}
export function booleanOption(value, what) {
  if (value === undefined) return false;
  if (typeof value !== 'boolean') throw new TypeError(`${what} must be true or false`);
  return value;
}
/** A byte count: a safe non-negative integer, or a BigInt below 2^64 - 1. */
export function lengthOption(length, what) {
  if (typeof length === 'bigint') {
    if (length < 0n || length >= UNKNOWN_LENGTH) throw new RangeError(`${what} must be from 0 to 2^64 - 2`);
    return length;
  }
  if (typeof length !== 'number') throw new TypeError(`${what} must be a number or a BigInt`);
  if (!Number.isSafeInteger(length) || length < 0) throw new RangeError(`${what} must be a whole number of bytes, 0 or more`);
  return BigInt(length);
}
export function pieceSizeOption(size) {
  if (size === undefined) return PIECE;
  if (typeof size !== 'number') throw new TypeError('pieceSize must be a number');
  if (!Number.isSafeInteger(size) || size < 1) throw new RangeError('pieceSize must be a whole number of bytes, 1 or more');
  return size;
}
export function signalOption(signal) {
  if (signal === undefined || signal === null) return null;
  if (typeof signal !== 'object' || typeof signal.aborted !== 'boolean') throw new TypeError('signal must be an AbortSignal');
  return signal;
}
export function stopIfAborted(signal) {
  if (signal?.aborted) {
    throw signal.reason !== undefined ? signal.reason : new DOMException('This operation was aborted', 'AbortError');
  }
}
/**
 * The key histories a stateless call takes: one history (an array of keys,
 * applied in order, or one key), or candidates (an array of histories) tried
 * in order when decrypting. [] is the explicit "no key".
 */
export function keyHistories(keys) {
  if (keys === undefined) {
    throw new TypeError('keys is required: a key history (["key"], oldest first), or [] for data written without a key');
  }
  if (typeof keys === 'string') return [[keys]];
  if (!Array.isArray(keys)) throw new TypeError('keys must be an array of keys, or of key histories');
  if (keys.every((k) => typeof k === 'string')) return [keys];
  if (keys.every((h) => Array.isArray(h) && h.every((k) => typeof k === 'string'))) return keys;
  throw new TypeError('keys must be an array of keys (one history) or an array of arrays of keys (candidates), not both');
}
export function asBytes(data, what) {
  if (data instanceof Uint8Array) return data;
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  throw new TypeError(`${what} must be a Uint8Array, another typed array or an ArrayBuffer`);
}
export function asText(value, what) {
  if (typeof value !== 'string') throw new TypeError(`${what} must be a string`);
  return value;
}
/** The options every stateless call takes. */
export const CALL_OPTIONS = ['keys', 'codepage', 'replaceUnmappable'];
