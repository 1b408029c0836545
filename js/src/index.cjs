// CommonJS entry: the package is an ES module, reached here by a dynamic
// import, so require('clscrypt') gives the same load() (asynchronous, as
// loading the WebAssembly module is anyway), and the error classes at once.
'use strict';

const BRAND = Symbol.for('clscrypt.RuntimeError');

// The ES module's RuntimeError cannot be imported synchronously: this one
// stands for it. Errors raised by the package are instances of both (they
// carry the brand the ES module sets); new ones are made by the package only.
class RuntimeError extends Error {
  static [Symbol.hasInstance](value) {
    return value !== null && typeof value === 'object' && value[BRAND] === true;
  }
}

// The kinds as the C interface numbers them (written at build time).
exports.ErrorKind = require('../dist/kinds.cjs').ErrorKind;
exports.RuntimeError = RuntimeError;
exports.errorCode = (kind) => `ERR_CLSCRYPT_${kind.replace(/([a-z])([A-Z])/g, '$1_$2').toUpperCase()}`;
exports.load = () => import('./index.mjs').then((m) => m.load());
