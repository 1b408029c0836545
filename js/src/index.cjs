// CommonJS entry: the package is an ES module, reached here by a dynamic
// import, so require('clscrypt') gives the same load() (asynchronous, as
// loading the WebAssembly module is anyway).
'use strict';

exports.load = () => import('./index.mjs').then((m) => m.load());
