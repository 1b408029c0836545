// clscrypt for JavaScript: the library compiled to WebAssembly. The front
// door is a set of stateless functions (encrypt, decrypt, their string and
// stream forms, the value functions) that take the keys on every call and
// hold nothing after they return; the two legacy classes stay for code
// ported from the legacy program. Every operation is the library's own,
// reached through its C interface; the modules beside this one only move
// bytes and text in and out of WebAssembly memory and turn status codes
// into exceptions:
//   errors.mjs     RuntimeError, its codes, the kinds (generated from the C interface)
//   options.mjs    argument checks
//   memory.mjs     WebAssembly memory, status codes, the cipher handle
//   streams.mjs    the chunked stream, encryptStream / decryptStream
//   stateless.mjs  encrypt, decrypt, encryptString, decryptString, readHex
//   values.mjs     encryptValues, decryptValues, rekeyValues
//   legacy.mjs     clsToString, clsHsh

import createClscryptModule from '../dist/clscrypt_wasm.mjs';
import { ErrorKind, RuntimeError, errorCode } from './errors.mjs';
import { memory } from './memory.mjs';
import { streams } from './streams.mjs';
import { stateless } from './stateless.mjs';
import { values } from './values.mjs';
import { legacy } from './legacy.mjs';

export { ErrorKind, RuntimeError, errorCode };

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
  const w = memory(M);
  const s = streams(w);
  const { encrypt, decrypt, encryptString, decryptString, readHex } = stateless(w, s);
  const { encryptStream, decryptStream } = s;
  const { encryptValues, decryptValues, rekeyValues } = values(w);
  const { clsToString, clsHsh } = legacy(w, s);
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
