#ifndef CLSCRYPT_CLSCRYPT_H
#define CLSCRYPT_CLSCRYPT_H

/* The C interface of clscrypt, for C programs and for every language that
   calls C (C#, Python's ctypes, Go, Rust, ...).

   Two opaque handles stand for the two legacy classes: clscrypt_tostring
   for clsToString (the cipher, its key state and its code page) and
   clscrypt_hsh for clsHsh (SHA-256 of text). Each function returns a status:
   CLSCRYPT_OK, or an error whose kind, run-time error number and
   description clscrypt_error_kind(), clscrypt_error_number() and
   clscrypt_error_description() then give, on the calling thread, until its
   next call into this interface. Branch on the kind: it tells a wrong key
   from a missing file, which share a number. No C++ exception crosses this
   boundary.

   Texts are UTF-16 (uint16_t units with a length) or UTF-8 (char with a
   length); a length of CLSCRYPT_NUL_TERMINATED means "up to the first 0".
   Paths are UTF-8 on every system. Memory the library allocates is released
   with clscrypt_free(), which also wipes it.

   A handle serves one call at a time; separate handles share nothing and may
   be used from different threads. */

#include <stddef.h>
#include <stdint.h>

#include "clscrypt/export.h"
#include "clscrypt/version.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. */
typedef enum clscrypt_status {
    CLSCRYPT_OK = 0,
    /* The operation raised a run-time error: see clscrypt_error_number().
       The kinds below that have a status of their own always come with it,
       so status and kind agree. */
    CLSCRYPT_ERROR = 1,
    /* An argument the call cannot take (kind CLSCRYPT_KIND_INVALID_ARGUMENT):
       a null handle or pointer, invalid UTF-8, an unknown code page or flag,
       overlapping buffers the call does not allow (error 5), the empty key
       after a non-empty one (error 9). */
    CLSCRYPT_INVALID_ARGUMENT = 2,
    /* The caller's buffer is too small; the size it needs was stored where
       the capacity was given, and the output was not written. */
    CLSCRYPT_BUFFER_TOO_SMALL = 3,
    /* Memory ran out (error number 7). */
    CLSCRYPT_OUT_OF_MEMORY = 4,
    /* The progress callback or the thread's cancellation check returned
       non-zero and the operation stopped there; what it leaves behind is what
       the C++ operation leaves when a Progress listener throws. */
    CLSCRYPT_CANCELLED = 5
} clscrypt_status;

#define CLSCRYPT_NUL_TERMINATED ((size_t)-1)

/* What went wrong, as clscrypt_error_kind() gives it. The values never
   change; 1 to 11 are those of the C++ clscrypt::ErrorKind. */
typedef enum clscrypt_kind {
    /* No error: the last call succeeded. */
    CLSCRYPT_KIND_NONE = 0,
    /* An unexpected failure, or none of the kinds below. */
    CLSCRYPT_KIND_OTHER = 1,
    /* A null handle or pointer, invalid UTF-8, an unknown code page, the
       empty key after a non-empty one. */
    CLSCRYPT_KIND_INVALID_ARGUMENT = 2,
    /* A value beyond the format's range: a message too long for its 32-bit
       sizes, hexadecimal text too long to convert. */
    CLSCRYPT_KIND_OVERFLOW = 3,
    /* Hexadecimal text that is not pairs of digits where expected. */
    CLSCRYPT_KIND_SUBSCRIPT_OUT_OF_RANGE = 4,
    /* Hexadecimal conversion with a separator count of -2. */
    CLSCRYPT_KIND_DIVISION_BY_ZERO = 5,
    /* Not a ciphertext of this format under this key: a wrong key, damaged
       data, or a length no ciphertext has. Nothing was written. */
    CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED = 6,
    /* The source file of a file operation does not exist. */
    CLSCRYPT_KIND_SOURCE_MISSING = 7,
    /* The file system refused or failed an open, read, write or
       replacement. */
    CLSCRYPT_KIND_FILE_SYSTEM = 8,
    /* Another service of the operating system failed (the random source). */
    CLSCRYPT_KIND_SYSTEM = 9,
    /* Memory ran out (status CLSCRYPT_OUT_OF_MEMORY). */
    CLSCRYPT_KIND_OUT_OF_MEMORY = 10,
    /* The progress callback stopped the operation (status
       CLSCRYPT_CANCELLED). */
    CLSCRYPT_KIND_CANCELLED = 11,
    /* The caller's buffer is too small (status CLSCRYPT_BUFFER_TOO_SMALL). */
    CLSCRYPT_KIND_BUFFER_TOO_SMALL = 12,
    /* The handle is inside an operation (its progress callback is running,
       or a stream on it is open) and refused a call that would change its
       key or tables; the running operation goes on unharmed. */
    CLSCRYPT_KIND_BUSY = 13,
    /* A key or text has a character the code page cannot carry and the
       caller did not ask for the legacy "?" in its place. The message names
       the position and a code page that has it, never the character. */
    CLSCRYPT_KIND_UNMAPPABLE = 14
} clscrypt_kind;

/* Error numbers of the legacy classes, as clscrypt_error_number() gives
   them. */
#define CLSCRYPT_ERR_INVALID_ARGUMENT 5
#define CLSCRYPT_ERR_OVERFLOW 6
#define CLSCRYPT_ERR_OUT_OF_MEMORY 7
#define CLSCRYPT_ERR_SUBSCRIPT_OUT_OF_RANGE 9
#define CLSCRYPT_ERR_DIVISION_BY_ZERO 11
#define CLSCRYPT_ERR_USER_INTERRUPT 18
/* Errors a class defines: a wrong key or damaged ciphertext ("Incorrect size
   descriptor in Blowfish decryption"), a missing source file;
   clscrypt_error_kind() tells which. */
#define CLSCRYPT_ERR_CLASS_ERROR (-2147221504)

/* The library's version, "MAJOR.MINOR.PATCH": that of the library linked
   at run time, where CLSCRYPT_VERSION_STRING (clscrypt/version.h) is that
   of the headers compiled against. */
CLSCRYPT_API const char* clscrypt_version(void);

/* The last error on this thread: its kind (CLSCRYPT_KIND_NONE after
   success), its run-time error number (0 after success), its description,
   and the description with context (which file, which length). The strings
   stay valid until this thread's next call into this interface. */
CLSCRYPT_API clscrypt_kind clscrypt_error_kind(void);
CLSCRYPT_API int32_t clscrypt_error_number(void);
CLSCRYPT_API const char* clscrypt_error_description(void);
CLSCRYPT_API const char* clscrypt_error_message(void);

/* Releases (and wipes) memory this library allocated. Null is ignored. */
CLSCRYPT_API void clscrypt_free(void* memory);

/* Overwrites `size` bytes at `data` with zeros in a way the compiler may not
   drop: for the caller's own copies of keys and plaintext. */
CLSCRYPT_API void clscrypt_wipe(void* data, size_t size);

/* Cancellation: `check` is called with `context` between chunks of every
   long operation that runs on the calling thread (at least once a mebibyte
   of work: block passes, files, hexadecimal text, batches of values); a
   non-zero return stops the operation with CLSCRYPT_CANCELLED (kind
   CLSCRYPT_KIND_CANCELLED, error 18). It must not call into this interface.
   One check per thread; null removes it. */
typedef int (*clscrypt_cancel_fn)(void* context);
CLSCRYPT_API void clscrypt_set_cancel_check(clscrypt_cancel_fn check, void* context);

/* Reads the hexadecimal text of a ciphertext (or any bytes) by the one rule
   every reader here keeps: digits of either case; white space and ASCII
   punctuation skipped wherever they stand; one leading "\x" skipped.
   Writes the bytes to `out` (capacity in `*size`, which receives the count;
   CLSCRYPT_BUFFER_TOO_SMALL stores the count needed). Other characters or
   an odd number of digits: CLSCRYPT_ERROR, kind INVALID_ARGUMENT, and the
   message names the position. */
CLSCRYPT_API clscrypt_status clscrypt_read_hex(const char* text, size_t length, uint8_t* out, size_t* size);

/* The length of the ciphertext of an n-byte message: 8 * ceil((n + 12) / 8),
   or 0 when it would not fit the format's signed 32-bit length. */
CLSCRYPT_API size_t clscrypt_encrypted_size(size_t n);

/* ---- clsToString ------------------------------------------------------- */

typedef struct clscrypt_tostring clscrypt_tostring;

/* A new instance with the tables construction gives, for code page
   `codepage` (874, 1250-1258) or, with 0, the default one. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_new(int codepage, clscrypt_tostring** out);
/* A copy with the same key state, code page and progress callback. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_clone(const clscrypt_tostring* handle, clscrypt_tostring** out);
/* Destroys an instance and wipes its key material. Null is ignored. */
CLSCRYPT_API void clscrypt_tostring_free(clscrypt_tostring* handle);

CLSCRYPT_API int clscrypt_tostring_codepage(const clscrypt_tostring* handle);
CLSCRYPT_API clscrypt_status clscrypt_tostring_set_codepage(clscrypt_tostring* handle, int codepage);

/* Whether a text survives the code page of `handle`: `*index` receives the
   index (in UTF-16 units) of the first character that the code page lacks,
   which the conversion to bytes turns into "?", or CLSCRYPT_ALL_MAPPABLE
   when there is none. A character beyond U+FFFF never fits a single-byte
   code page; its first unit is named. */
#define CLSCRYPT_ALL_MAPPABLE ((size_t)-1)
CLSCRYPT_API clscrypt_status clscrypt_tostring_first_unmappable(const clscrypt_tostring* handle, const uint16_t* text,
                                                                size_t length, size_t* index);

/* What a key or text character the code page lacks becomes: with
   `refuse` non-zero, setting such a key, encrypting such a text or writing
   it as hexadecimal fails with kind CLSCRYPT_KIND_UNMAPPABLE before
   anything changes; with 0 (the default of this legacy handle) it becomes
   "?", as the legacy class did. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_set_refuse_unmappable(clscrypt_tostring* handle, int refuse);

/* The Key property: mixes a new key into the tables. The empty key after a
   non-empty one raises error 9 and leaves the tables as they were. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_set_key_utf16(clscrypt_tostring* handle, const uint16_t* key,
                                                             size_t length);
CLSCRYPT_API clscrypt_status clscrypt_tostring_set_key_utf8(clscrypt_tostring* handle, const char* key, size_t length);

/* The Progress event: `callback` is called with the operation's percentage,
   which it may change as a C++ listener may, and `user`. A non-zero return
   stops the operation with CLSCRYPT_CANCELLED. Null removes the callback. */
typedef int (*clscrypt_progress_fn)(int32_t* percent, void* user);
CLSCRYPT_API clscrypt_status clscrypt_tostring_set_progress(clscrypt_tostring* handle, clscrypt_progress_fn callback,
                                                            void* user);

/* EncryptByte into the caller's buffer: `*size` holds the capacity of `out`
   on entry and the ciphertext's length on return. `out` may be `in`.
   clscrypt_encrypted_size() tells the capacity needed. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_encrypt(clscrypt_tostring* handle, const uint8_t* in, size_t in_size,
                                                       uint8_t* out, size_t* size);
/* DecryptByte into the caller's buffer, as above. A capacity of `in_size`
   always suffices. A wrong key or damaged data writes nothing. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_decrypt(clscrypt_tostring* handle, const uint8_t* in, size_t in_size,
                                                       uint8_t* out, size_t* size);
/* The same with a buffer the library allocates: release `*out` with
   clscrypt_free(). */
CLSCRYPT_API clscrypt_status clscrypt_tostring_encrypt_alloc(clscrypt_tostring* handle, const uint8_t* in,
                                                             size_t in_size, uint8_t** out, size_t* out_size);
CLSCRYPT_API clscrypt_status clscrypt_tostring_decrypt_alloc(clscrypt_tostring* handle, const uint8_t* in,
                                                             size_t in_size, uint8_t** out, size_t* out_size);

/* EncryptString and DecryptString. The UTF-16 forms give exactly the
   legacy strings (one character per byte of the code page); the UTF-8
   forms convert the same strings to and from UTF-8. Results are allocated
   by the library and end with a 0 not counted in `*out_length`. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_encrypt_string_utf16(clscrypt_tostring* handle, const uint16_t* text,
                                                                    size_t length, uint16_t** out, size_t* out_length);
CLSCRYPT_API clscrypt_status clscrypt_tostring_decrypt_string_utf16(clscrypt_tostring* handle, const uint16_t* text,
                                                                    size_t length, uint16_t** out, size_t* out_length);
CLSCRYPT_API clscrypt_status clscrypt_tostring_encrypt_string_utf8(clscrypt_tostring* handle, const char* text,
                                                                   size_t length, char** out, size_t* out_length);
CLSCRYPT_API clscrypt_status clscrypt_tostring_decrypt_string_utf8(clscrypt_tostring* handle, const char* text,
                                                                   size_t length, char** out, size_t* out_length);

/* EncryptFile, DecryptFile and RekeyFile (paths in UTF-8, NUL-terminated),
   crash-safe: the destination is replaced only once complete and on disk. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_encrypt_file(clscrypt_tostring* handle, const char* source,
                                                            const char* dest);
CLSCRYPT_API clscrypt_status clscrypt_tostring_decrypt_file(clscrypt_tostring* handle, const char* source,
                                                            const char* dest);
/* Decrypts `source` with the key state of `from` and writes it encrypted
   under `handle`'s. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_rekey_file(clscrypt_tostring* handle, clscrypt_tostring* from,
                                                          const char* source, const char* dest);

/* StrToHex and HexToStr, on UTF-8 or UTF-16 text; results allocated by the
   library, ending with a 0 not counted in `*out_length`. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_str_to_hex_utf8(clscrypt_tostring* handle, const char* text,
                                                               size_t length, const char* separator,
                                                               size_t separator_length, char** out, size_t* out_length);
CLSCRYPT_API clscrypt_status clscrypt_tostring_hex_to_str_utf8(clscrypt_tostring* handle, const char* hex,
                                                               size_t length, int32_t separators, char** out,
                                                               size_t* out_length);
CLSCRYPT_API clscrypt_status clscrypt_tostring_str_to_hex_utf16(clscrypt_tostring* handle, const uint16_t* text,
                                                                size_t length, const uint16_t* separator,
                                                                size_t separator_length, uint16_t** out,
                                                                size_t* out_length);
CLSCRYPT_API clscrypt_status clscrypt_tostring_hex_to_str_utf16(clscrypt_tostring* handle, const uint16_t* hex,
                                                                size_t length, int32_t separators, uint16_t** out,
                                                                size_t* out_length);

/* ---- Chunked streams --------------------------------------------------- */

/* EncryptByte and DecryptByte over data handed over in pieces (a file read
   in chunks, a network body), giving the same bytes, errors and progress
   events as the whole array would (see clscrypt::EncryptStream and
   clscrypt::DecryptStream in clscrypt/stream.hpp). A stream works on the key
   state of the instance it was made from, which must outlive it and take no
   other call meanwhile; set the key on the instance first. Any error leaves
   a stream failed (later calls give error 5); free it either way. Outputs go
   to the caller's buffer: `*size` holds its capacity on entry (at least
   CLSCRYPT_STREAM_OUTPUT_SIZE(in_size), else CLSCRYPT_BUFFER_TOO_SMALL with
   that size stored) and the bytes written on return. */
typedef struct clscrypt_encrypt_stream clscrypt_encrypt_stream;
typedef struct clscrypt_decrypt_stream clscrypt_decrypt_stream;

/* Saturates at SIZE_MAX rather than wrap (`n` is evaluated twice). */
#define CLSCRYPT_STREAM_OUTPUT_SIZE(n) ((n) > SIZE_MAX - 16 ? SIZE_MAX : (n) + 16)
/* For clscrypt_decrypt_stream_new: the ciphertext's length is not known. */
#define CLSCRYPT_UNKNOWN_LENGTH UINT64_MAX

/* Starts the ciphertext of a message of `length` bytes (error 6 when too
   long for the format). */
CLSCRYPT_API clscrypt_status clscrypt_encrypt_stream_new(clscrypt_tostring* handle, uint64_t length,
                                                         clscrypt_encrypt_stream** out);
CLSCRYPT_API clscrypt_status clscrypt_encrypt_stream_update(clscrypt_encrypt_stream* stream, const uint8_t* in,
                                                            size_t in_size, uint8_t* out, size_t* size);
/* The last ciphertext bytes (16 at most), and the closing progress event.
   Error 5 when fewer message bytes came than announced. */
CLSCRYPT_API clscrypt_status clscrypt_encrypt_stream_final(clscrypt_encrypt_stream* stream, uint8_t* out, size_t* size);
/* Destroys a stream and wipes what it held. Null is ignored. */
CLSCRYPT_API void clscrypt_encrypt_stream_free(clscrypt_encrypt_stream* stream);

/* Starts reading a ciphertext of `length` bytes, or of the length its size
   descriptor gives with CLSCRYPT_UNKNOWN_LENGTH. The descriptor is checked
   as soon as the first 16 bytes are in, before any message byte comes out;
   a wrong key gives CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED there. */
CLSCRYPT_API clscrypt_status clscrypt_decrypt_stream_new(clscrypt_tostring* handle, uint64_t length,
                                                         clscrypt_decrypt_stream** out);
CLSCRYPT_API clscrypt_status clscrypt_decrypt_stream_update(clscrypt_decrypt_stream* stream, const uint8_t* in,
                                                            size_t in_size, uint8_t* out, size_t* size);
/* Checks that the whole ciphertext came (a cut one fails as DecryptByte
   fails on it) and raises the closing progress event. */
CLSCRYPT_API clscrypt_status clscrypt_decrypt_stream_final(clscrypt_decrypt_stream* stream);
/* The message's length once the first 16 bytes are in, else -1. */
CLSCRYPT_API int64_t clscrypt_decrypt_stream_message_length(const clscrypt_decrypt_stream* stream);
CLSCRYPT_API void clscrypt_decrypt_stream_free(clscrypt_decrypt_stream* stream);

/* ---- Many short values ------------------------------------------------- */

/* Values stored one per database row or config line, each encrypted,
   decrypted or re-keyed under key states set up once (see
   clscrypt::ValueCipher in clscrypt/values.hpp for the forms and the
   false-accept rate of key candidates). */
typedef struct clscrypt_values clscrypt_values;

/* How a ciphertext is stored: its bytes; hexadecimal text (written upper
   case with the chosen separator, read in any case skipping white space and
   punctuation); Base64 (padding optional when read); EncryptString's text
   in UTF-8. */
typedef enum clscrypt_stored_form {
    CLSCRYPT_STORED_BYTES = 0,
    CLSCRYPT_STORED_HEX = 1,
    CLSCRYPT_STORED_BASE64 = 2,
    CLSCRYPT_STORED_STRING = 3
} clscrypt_stored_form;

/* How a plaintext is given and returned: UTF-8 text through the code page,
   or bytes. */
typedef enum clscrypt_plain_form { CLSCRYPT_PLAIN_TEXT = 0, CLSCRYPT_PLAIN_BYTES = 1 } clscrypt_plain_form;

/* One key history: `count` UTF-8 keys applied in order, as successive Key
   settings. `lengths` may be null for NUL-terminated keys. */
typedef struct clscrypt_key_history {
    const char* const* keys;
    const size_t* lengths;
    size_t count;
} clscrypt_key_history;

/* Characters a key's or a text's code page lacks become "?" (the legacy
   conversion) instead of failing: without it, such a key fails
   clscrypt_values_new and such a text its value, with kind
   CLSCRYPT_KIND_UNMAPPABLE. */
#define CLSCRYPT_VALUES_REPLACE_UNMAPPABLE 1u
/* Encrypting and re-keying under an empty target history (no key: data
   anyone can read) is meant; without it each such value fails with kind
   CLSCRYPT_KIND_INVALID_ARGUMENT. */
#define CLSCRYPT_VALUES_ALLOW_NO_KEY 2u

/* Sets up the key states: decrypting tries the `candidate_count` histories
   in order; encrypting and re-keying write under `target` (null: the first
   candidate). `codepage` as for clscrypt_tostring_new; `hex_separator`
   (UTF-8, NUL-terminated, null for none) goes between written hexadecimal
   pairs. */
CLSCRYPT_API clscrypt_status clscrypt_values_new(const clscrypt_key_history* candidates, size_t candidate_count,
                                                 const clscrypt_key_history* target, int codepage,
                                                 const char* hex_separator, unsigned flags, clscrypt_values** out);
/* Destroys the handle and wipes its key material. Null is ignored. */
CLSCRYPT_API void clscrypt_values_free(clscrypt_values* handle);

/* One value each, into the caller's buffer: `*size` holds the capacity of
   `out` on entry and the result's length on return (CLSCRYPT_BUFFER_TOO_SMALL
   stores the length needed; call again). A failing value returns
   CLSCRYPT_ERROR with its kind in clscrypt_error_kind() (a wrong key:
   CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED; input not in its form or a text the
   code page lacks: CLSCRYPT_KIND_INVALID_ARGUMENT) and leaves the handle
   ready for the next value. `candidate`, when not null, receives the index
   of the history that read the value. */
CLSCRYPT_API clscrypt_status clscrypt_values_encrypt(clscrypt_values* handle, const void* in, size_t in_size,
                                                     clscrypt_plain_form plain_form, clscrypt_stored_form form,
                                                     void* out, size_t* size);
CLSCRYPT_API clscrypt_status clscrypt_values_decrypt(clscrypt_values* handle, const void* in, size_t in_size,
                                                     clscrypt_stored_form form, clscrypt_plain_form plain_form,
                                                     void* out, size_t* size, size_t* candidate);
CLSCRYPT_API clscrypt_status clscrypt_values_rekey(clscrypt_values* handle, const void* in, size_t in_size,
                                                   clscrypt_stored_form in_form, clscrypt_stored_form out_form,
                                                   void* out, size_t* size, size_t* candidate);

/* The outcome of one value of a batch: `kind` is CLSCRYPT_KIND_NONE when the
   value was converted, its error kind otherwise; `candidate` is the index of
   the history that read it (decrypting and re-keying). */
typedef struct clscrypt_value_outcome {
    clscrypt_kind kind;
    size_t candidate;
} clscrypt_value_outcome;

/* Many values in one call, packed end to end, the way a column is handed
   over; much faster than value after value for short values. Value i is
   bytes in_offsets[i] to in_offsets[i + 1] of `in` (`count` + 1 rising
   offsets). The results are packed into `out` alike: `out_offsets`
   (`count` + 1 entries, the first 0) receives where each result starts and
   ends, and `*size` holds the capacity of `out` on entry and the total
   length on return. Each value's outcome goes to `outcomes` (`count`
   entries): a value that fails has an empty result and does not stop the
   others, and the call returns CLSCRYPT_OK. When `out` is too small the call
   returns CLSCRYPT_BUFFER_TOO_SMALL with the total length needed in `*size`
   and writes no result: call again (encrypting then draws new random
   words). */
CLSCRYPT_API clscrypt_status clscrypt_values_encrypt_many(clscrypt_values* handle, const void* in,
                                                          const size_t* in_offsets, size_t count,
                                                          clscrypt_plain_form plain_form, clscrypt_stored_form form,
                                                          void* out, size_t* size, size_t* out_offsets,
                                                          clscrypt_value_outcome* outcomes);
CLSCRYPT_API clscrypt_status clscrypt_values_decrypt_many(clscrypt_values* handle, const void* in,
                                                          const size_t* in_offsets, size_t count,
                                                          clscrypt_stored_form form, clscrypt_plain_form plain_form,
                                                          void* out, size_t* size, size_t* out_offsets,
                                                          clscrypt_value_outcome* outcomes);
CLSCRYPT_API clscrypt_status clscrypt_values_rekey_many(clscrypt_values* handle, const void* in,
                                                        const size_t* in_offsets, size_t count,
                                                        clscrypt_stored_form in_form, clscrypt_stored_form out_form,
                                                        void* out, size_t* size, size_t* out_offsets,
                                                        clscrypt_value_outcome* outcomes);

/* ---- clsHsh ------------------------------------------------------------ */

typedef struct clscrypt_hsh clscrypt_hsh;

CLSCRYPT_API clscrypt_status clscrypt_hsh_new(clscrypt_hsh** out);
CLSCRYPT_API void clscrypt_hsh_free(clscrypt_hsh* handle);

/* SHA256: the digest of the text's low bytes as 64 lower-case hexadecimal
   digits and a 0, written to `hex`. The UTF-8 form decodes the text to
   UTF-16 first. */
CLSCRYPT_API clscrypt_status clscrypt_hsh_sha256_utf16(const clscrypt_hsh* handle, const uint16_t* text, size_t length,
                                                       char hex[65]);
CLSCRYPT_API clscrypt_status clscrypt_hsh_sha256_utf8(const clscrypt_hsh* handle, const char* text, size_t length,
                                                      char hex[65]);

/* SHA-256 of bytes. */
CLSCRYPT_API clscrypt_status clscrypt_sha256(const uint8_t* data, size_t size, uint8_t digest[32]);

/* Parallel decryption for the whole process (SetDecryptionThreads in
   clscrypt/threads.hpp): with 2 or more, a long decryption run may use up to
   that many threads, the caller's included. By default (and with 0 or 1) the
   library starts no thread. clscrypt_get_decryption_threads() gives the most
   a run uses now. */
CLSCRYPT_API void clscrypt_set_decryption_threads(unsigned threads);
CLSCRYPT_API unsigned clscrypt_get_decryption_threads(void);

#ifdef __cplusplus
}
#endif

#endif /* CLSCRYPT_CLSCRYPT_H */
