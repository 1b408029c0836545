// Put before the module's own code, inside its factory function: the loader
// then sees no fetch and decodes the WebAssembly embedded in it as Base64,
// instead of asking fetch for its data: URL first (a request the page's
// Content-Security-Policy refuses, and reports, on every load).
// eslint-disable-next-line no-unused-vars
var fetch = undefined;
