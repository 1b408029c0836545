// The library's random source in WebAssembly is getentropy(), at most 256
// bytes a call. Emscripten's own asks crypto.getRandomValues for one byte
// at a time, about 4 us a byte in Node: six calls for each value that
// encryptValues writes. This one fills the whole request in one call,
// straight into the module's memory (getRandomValues takes up to 65,536
// bytes). load() has checked that the function is there.
mergeInto(LibraryManager.library, {
  getentropy: function (buffer, size) {
    crypto.getRandomValues(HEAPU8.subarray(buffer, buffer + size));
    return 0;
  },
});
