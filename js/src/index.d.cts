// Type declarations of the package's CommonJS entry (require('clscrypt')):
// load() and the error classes; everything else comes from load().
import type {
  Clscrypt, ErrorKind as Kinds, ErrorKindName, RuntimeError as Raised, Bytes, Output, Keys, CallOptions,
  StreamOptions, ValueOptions, RekeyOptions, ValueOutcome,
} from './index.js' with { 'resolution-mode': 'import' };

export type {
  Clscrypt, ErrorKindName, Bytes, Output, Keys, CallOptions, StreamOptions, ValueOptions, RekeyOptions, ValueOutcome,
};

/** Loads the WebAssembly module (embedded; nothing is fetched) once. */
export declare function load(): Promise<Clscrypt>;
export declare const ErrorKind: typeof Kinds;
/** Errors the package raises are instances of it. */
export declare const RuntimeError: typeof Raised;
export declare function errorCode(kind: ErrorKindName): string;
