#ifndef CLSCRYPT_CLSCRYPT_H
#define CLSCRYPT_CLSCRYPT_H

/* The C interface of clscrypt, for C programs and for every language that
   calls C (C#, Python's ctypes, Go, Rust, ...).

   Two opaque handles stand for the two legacy classes: clscrypt_tostring
   for clsToString (the cipher, its key state and its code page) and
   clscrypt_hsh for clsHsh (SHA-256 of text). No C++ exception crosses this
   boundary.

   Texts are UTF-16 (uint16_t units with a length) or UTF-8 (char with a
   length in bytes); a length of CLSCRYPT_NUL_TERMINATED means "up to the
   first 0". A null text or input with a length of 0 is the empty one.
   Paths are UTF-8 on every system. Memory the library allocates is released
   with clscrypt_free(), which also wipes it.

   ERRORS. A function that returns a clscrypt_status gives CLSCRYPT_OK or an
   error whose kind, run-time error number and description
   clscrypt_error_kind(), clscrypt_error_number(),
   clscrypt_error_description() and clscrypt_error_message() then give, on
   the calling thread. Branch on the kind: it tells a wrong key from a
   missing file, which share a number. The status follows the kind: kind
   INVALID_ARGUMENT gives CLSCRYPT_INVALID_ARGUMENT, OUT_OF_MEMORY gives
   CLSCRYPT_OUT_OF_MEMORY, CANCELLED gives CLSCRYPT_CANCELLED,
   BUFFER_TOO_SMALL (error number 0) gives CLSCRYPT_BUFFER_TOO_SMALL, and
   every other kind CLSCRYPT_ERROR. Functions that return no status never
   fail and leave the last error as it was.

   Any function that returns a status may give, beyond what its own
   "Errors:" line lists:
   - 5 INVALID_ARGUMENT: a null handle, a null pointer the call needs (a
     null text said to be CLSCRYPT_NUL_TERMINATED included), UTF-8 that is
     not valid, an enumeration value or a flag bit the call does not know.
     Found before anything changes.
   - 7 OUT_OF_MEMORY.
   - 51 OTHER ("Internal error"): a failure the library did not foresee.
   An "Errors:" line names each error as its number and kind (KIND stands
   for CLSCRYPT_KIND_KIND; "class" is the number CLSCRYPT_ERR_CLASS_ERROR).
   "18 CANCELLED" is the thread's cancellation check, or, where the line
   says "progress", the handle's progress callback, returning non-zero.

   ALIASING. A one-shot call (every call but the stream updates) reads all
   of its input before it writes any output, so an input may overlap an
   output in any way (`out` may be `in`). The outputs of one call must not
   overlap one another. A stream update converts in place when `out` starts
   exactly where `in` does; any other overlap of `in` with the `*size`
   bytes at `out` is refused with CLSCRYPT_INVALID_ARGUMENT (error 5) and
   leaves the stream failed. Strings and buffers returned through a pointer
   to a pointer are new allocations, to be released with clscrypt_free().

   CALLBACKS. A progress callback (clscrypt_tostring_set_progress) runs
   synchronously on the thread that called the operation, between blocks
   and once with 100 at the end; never on another thread, even when
   decryption runs on several (clscrypt_set_decryption_threads). From inside
   it:
   - a nested operation on ANOTHER handle is fine;
   - its own handle may be read (clscrypt_tostring_codepage,
     clscrypt_tostring_first_unmappable, clscrypt_tostring_clone) but not
     changed: setting its key returns CLSCRYPT_ERROR with kind
     CLSCRYPT_KIND_BUSY and the running operation goes on unharmed;
     clscrypt_tostring_free() on it is deferred until the operation
     returns. Its code page and its choice for unmappable characters are NOT
     guarded: changing them there changes how the running operation
     converts what it has not converted yet (the text an EncryptString call
     returns, for one), so do not. A new callback set there is called from
     the next event on;
   - a call made there sets this thread's last error, and an operation that
     then succeeds leaves that error in place: read the last error only
     after a status other than CLSCRYPT_OK;
   - longjmp out of a callback (or out of a cancellation check) is not
     supported: it skips the library's clean-up, leaving copies of the
     plaintext unwiped in freed memory and the handle busy for good.
   The cancellation check (clscrypt_set_cancel_check) also runs on the
   calling thread, between chunks of work; it must not call into this
   interface.

   THREADS. A handle serves one call at a time; a stream and the handle it
   was made from count as one. Separate handles share nothing and may be
   used from different threads at once. The last error and the cancellation
   check belong to the calling thread. */

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
    /* The operation raised a run-time error of a kind without a status of
       its own (a wrong key, a file, BUSY, UNMAPPABLE, ...): see
       clscrypt_error_kind() and clscrypt_error_number(). The kinds below
       that have a status of their own always come with it, so status and
       kind agree. */
    CLSCRYPT_ERROR = 1,
    /* An argument the call cannot take (kind CLSCRYPT_KIND_INVALID_ARGUMENT):
       a null handle or pointer, invalid UTF-8, an unknown code page or flag,
       overlapping buffers the call does not allow, a stream used past its
       end or after a failure, a value not in its stored form, no key
       candidate (all error 5); the empty key after a non-empty one (error
       9). */
    CLSCRYPT_INVALID_ARGUMENT = 2,
    /* The caller's buffer is too small; the size it needs was stored where
       the capacity was given, and the output was not written (error number
       0). */
    CLSCRYPT_BUFFER_TOO_SMALL = 3,
    /* Memory ran out (error number 7). */
    CLSCRYPT_OUT_OF_MEMORY = 4,
    /* The progress callback or the thread's cancellation check returned
       non-zero and the operation stopped there (error 18). A one-shot call
       then has written no output, a file operation has left the destination
       as it was (a FIFO or a device keeps what it was given), and a stream
       is failed. */
    CLSCRYPT_CANCELLED = 5
} clscrypt_status;

#define CLSCRYPT_NUL_TERMINATED ((size_t)-1)

/* What went wrong, as clscrypt_error_kind() gives it. The values never
   change; all but 0 and 12 are those of the C++ clscrypt::ErrorKind. */
typedef enum clscrypt_kind {
    /* No error (see clscrypt_error_kind for when it is set). */
    CLSCRYPT_KIND_NONE = 0,
    /* An unexpected failure, or none of the kinds below (error 51). */
    CLSCRYPT_KIND_OTHER = 1,
    /* An argument the call cannot take (status CLSCRYPT_INVALID_ARGUMENT):
       see there (error 5 or 9). */
    CLSCRYPT_KIND_INVALID_ARGUMENT = 2,
    /* A value beyond the format's range: a message too long for its 32-bit
       sizes, hexadecimal text too long to convert (error 6). */
    CLSCRYPT_KIND_OVERFLOW = 3,
    /* Hexadecimal text that is not pairs of digits where expected (error
       9). */
    CLSCRYPT_KIND_SUBSCRIPT_OUT_OF_RANGE = 4,
    /* Hexadecimal conversion with a separator count of -2 (error 11). */
    CLSCRYPT_KIND_DIVISION_BY_ZERO = 5,
    /* Not a ciphertext of this format under this key: a wrong key or
       damaged data (the size descriptor does not fit; the class error), or
       a length no ciphertext has (error 9; error 6 beyond 2^31 - 1 bytes).
       Nothing was written, except by a decryption stream started without
       the length (see clscrypt_decrypt_stream_new). */
    CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED = 6,
    /* The source file of a file operation does not exist (the class
       error). */
    CLSCRYPT_KIND_SOURCE_MISSING = 7,
    /* The file system refused or failed an open, read, write or
       replacement, or a source changed size while it was read (53, 57, 61,
       70, 75 or 76). */
    CLSCRYPT_KIND_FILE_SYSTEM = 8,
    /* Another service of the operating system failed: the random source
       (error 57). */
    CLSCRYPT_KIND_SYSTEM = 9,
    /* Memory ran out (error 7, status CLSCRYPT_OUT_OF_MEMORY). */
    CLSCRYPT_KIND_OUT_OF_MEMORY = 10,
    /* The progress callback or the thread's cancellation check stopped the
       operation (error 18, status CLSCRYPT_CANCELLED). */
    CLSCRYPT_KIND_CANCELLED = 11,
    /* The caller's buffer is too small (error number 0, status
       CLSCRYPT_BUFFER_TOO_SMALL). */
    CLSCRYPT_KIND_BUFFER_TOO_SMALL = 12,
    /* The handle is inside an operation (its progress callback is running,
       or a stream on it is open) and refused to have its key set; the
       running operation goes on unharmed (error 5, status CLSCRYPT_ERROR). */
    CLSCRYPT_KIND_BUSY = 13,
    /* A key or text has a character the code page cannot carry and the
       caller did not ask for the legacy "?" in its place. The message names
       the position and a code page that has it, never the character (error
       5, status CLSCRYPT_ERROR). */
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
/* The other numbers given, without macros of their own: 51 "Internal
   error" (kind OTHER); from the file operations, kind FILE_SYSTEM, 53 "File
   not found", 57 "Device I/O error" (also a source that changed size while
   it was read, or a socket as the destination), 61 "Disk full", 70
   "Permission denied", 75 "Path/File access error" (a folder, a loop of
   links, a name too long), 76 "Path not found"; 57 with kind SYSTEM for the
   random source. */

/* The library's version, "MAJOR.MINOR.PATCH": that of the library linked
   at run time, where CLSCRYPT_VERSION_STRING (clscrypt/version.h) is that
   of the headers compiled against. */
CLSCRYPT_API const char* clscrypt_version(void);

/* The last error on this thread: its kind, its run-time error number, its
   description, and the description with context (which file, which
   length). A call that returns a status sets them: to CLSCRYPT_KIND_NONE,
   0 and empty strings as it starts, to its error if it fails (a call made
   from a progress callback meanwhile sets them too: see CALLBACKS above).
   The strings stay valid until this thread's next call into this
   interface. These four never fail. */
CLSCRYPT_API clscrypt_kind clscrypt_error_kind(void);
CLSCRYPT_API int32_t clscrypt_error_number(void);
CLSCRYPT_API const char* clscrypt_error_description(void);
CLSCRYPT_API const char* clscrypt_error_message(void);

/* Releases (and wipes) memory this library allocated and returned through
   a pointer to a pointer; nothing else. Null is ignored. */
CLSCRYPT_API void clscrypt_free(void* memory);

/* Overwrites `size` bytes at `data` with zeros in a way the compiler may not
   drop: for the caller's own copies of keys and plaintext. Null is
   ignored. */
CLSCRYPT_API void clscrypt_wipe(void* data, size_t size);

/* Cancellation: `check` is called with `context` between chunks of every
   long operation that runs on the calling thread (at least once a mebibyte
   of work: block passes, files, hexadecimal text, batches of values); a
   non-zero return stops the operation with CLSCRYPT_CANCELLED (kind
   CLSCRYPT_KIND_CANCELLED, error 18). It runs on that thread only (never on
   a decryption worker), must not call into this interface and must not
   longjmp. One check per thread, for every handle the thread uses; null
   removes it. */
typedef int (*clscrypt_cancel_fn)(void* context);
CLSCRYPT_API void clscrypt_set_cancel_check(clscrypt_cancel_fn check, void* context);

/* Reads the hexadecimal text of a ciphertext (or any bytes) by the one rule
   every reader here keeps: digits of either case; white space and ASCII
   punctuation skipped wherever they stand; one leading "\x" skipped.
   Writes the bytes to `out` (capacity in `*size`, which receives the count;
   CLSCRYPT_BUFFER_TOO_SMALL stores the count needed; a null `out` always
   gives it, to ask for the count).
   Errors: 5 INVALID_ARGUMENT (a character that is neither, or an odd
   number of digits; the message names the position); 18 CANCELLED (texts
   over a mebibyte). */
CLSCRYPT_API clscrypt_status clscrypt_read_hex(const char* text, size_t length, uint8_t* out, size_t* size);

/* The length of the ciphertext of an n-byte message: 8 * ceil((n + 12) / 8),
   or 0 when it would not fit the format's signed 32-bit length. Never
   fails. */
CLSCRYPT_API size_t clscrypt_encrypted_size(size_t n);

/* ---- clsToString ------------------------------------------------------- */

typedef struct clscrypt_tostring clscrypt_tostring;

/* A new instance with the tables construction gives, for code page
   `codepage` (874, 1250-1258) or, with 0, the default one. `*out` is null
   after a failure.
   Errors: 5 INVALID_ARGUMENT (a code page not offered). */
CLSCRYPT_API clscrypt_status clscrypt_tostring_new(int codepage, clscrypt_tostring** out);
/* A copy with the same key state, code page and progress callback (and
   its `user`). The copy is not busy, even when made from inside the
   handle's own callback. `*out` is null after a failure.
   Errors: only those every call may give. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_clone(const clscrypt_tostring* handle, clscrypt_tostring** out);
/* Destroys an instance and wipes its key material. Null is ignored. While
   the handle is busy (from inside its own progress callback, or with a
   stream on it open) the handle goes once the running operation returns,
   or once the last stream on it is freed. Either way the caller must not
   use it again. */
CLSCRYPT_API void clscrypt_tostring_free(clscrypt_tostring* handle);

/* The handle's code page; 0 for a null handle. Never fails. */
CLSCRYPT_API int clscrypt_tostring_codepage(const clscrypt_tostring* handle);
/* Sets the code page for keys and texts (874, 1250-1258; 0 for the
   default). Not refused while the handle is busy: never call it from the
   handle's own callback (see CALLBACKS above).
   Errors: 5 INVALID_ARGUMENT (a code page not offered). */
CLSCRYPT_API clscrypt_status clscrypt_tostring_set_codepage(clscrypt_tostring* handle, int codepage);

/* Whether a text survives the code page of `handle`: `*index` receives the
   index (in UTF-16 units) of the first character that the code page lacks,
   which the conversion to bytes turns into "?", or CLSCRYPT_ALL_MAPPABLE
   when there is none. A character beyond U+FFFF never fits a single-byte
   code page; its first unit is named.
   Errors: only those every call may give. */
#define CLSCRYPT_ALL_MAPPABLE ((size_t)-1)
CLSCRYPT_API clscrypt_status clscrypt_tostring_first_unmappable(const clscrypt_tostring* handle, const uint16_t* text,
                                                                size_t length, size_t* index);

/* What a key or text character the code page lacks becomes: with
   `refuse` non-zero, setting such a key, encrypting such a text or writing
   it as hexadecimal fails with kind CLSCRYPT_KIND_UNMAPPABLE before
   anything changes; with 0 (the default of this legacy handle) it becomes
   "?", as the legacy class did. Not refused while the handle is busy:
   never call it from the handle's own callback (see CALLBACKS above).
   Errors: only those every call may give. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_set_refuse_unmappable(clscrypt_tostring* handle, int refuse);

/* The Key property: mixes a new key into the tables (only its first 72
   characters count). Setting the key in force again changes nothing.
   Errors: 9 INVALID_ARGUMENT (the empty key after a non-empty one; the
   tables stay as they were); 5 UNMAPPABLE (a character the code page
   lacks, once clscrypt_tostring_set_refuse_unmappable asked to refuse);
   5 BUSY (from inside the handle's own callback, or with a stream on it
   open); 18 CANCELLED (keys of more than 2^19 characters). The tables stay
   as they were on each (after error 9 the key in force is the empty one,
   so setting the earlier key again mixes it in a second time). */
CLSCRYPT_API clscrypt_status clscrypt_tostring_set_key_utf16(clscrypt_tostring* handle, const uint16_t* key,
                                                             size_t length);
CLSCRYPT_API clscrypt_status clscrypt_tostring_set_key_utf8(clscrypt_tostring* handle, const char* key, size_t length);

/* The Progress event: `callback` is called with the operation's percentage,
   which it may change as a C++ listener may, and `user`. A non-zero return
   stops the operation with CLSCRYPT_CANCELLED (error 18). Null removes the
   callback. It runs on the calling thread, between blocks: see CALLBACKS
   above for what it may call. It may be set from inside the callback
   itself, and takes effect at the next event. The operations marked
   "progress" below raise the event.
   Errors: only those every call may give. */
typedef int (*clscrypt_progress_fn)(int32_t* percent, void* user);
CLSCRYPT_API clscrypt_status clscrypt_tostring_set_progress(clscrypt_tostring* handle, clscrypt_progress_fn callback,
                                                            void* user);

/* EncryptByte into the caller's buffer: `*size` holds the capacity of `out`
   on entry and the ciphertext's length on return. `out` may be `in`.
   clscrypt_encrypted_size() tells the capacity needed. Progress. Any
   failure leaves `out` as it was.
   Errors: 6 OVERFLOW (a message too long for the format) and
   CLSCRYPT_BUFFER_TOO_SMALL, both before any work or event; 57 SYSTEM (the
   random source failed); 18 CANCELLED (progress). */
CLSCRYPT_API clscrypt_status clscrypt_tostring_encrypt(clscrypt_tostring* handle, const uint8_t* in, size_t in_size,
                                                       uint8_t* out, size_t* size);
/* DecryptByte into the caller's buffer, as above. A capacity of `in_size`
   always suffices. Progress. Any failure leaves `out` as it was.
   Errors, all but the last before any work or event: 9
   WRONG_KEY_OR_DAMAGED (a length that is not whole 8-byte blocks of at
   least 16), 6 WRONG_KEY_OR_DAMAGED (a length beyond 2^31 - 1), class
   WRONG_KEY_OR_DAMAGED (a wrong key or damaged data);
   CLSCRYPT_BUFFER_TOO_SMALL (the message's length, read from the first 16
   bytes, exceeds the capacity); 18 CANCELLED (progress). */
CLSCRYPT_API clscrypt_status clscrypt_tostring_decrypt(clscrypt_tostring* handle, const uint8_t* in, size_t in_size,
                                                       uint8_t* out, size_t* size);
/* The same with a buffer the library allocates: release `*out` with
   clscrypt_free(). Progress.
   Errors: those of clscrypt_tostring_encrypt and clscrypt_tostring_decrypt
   but CLSCRYPT_BUFFER_TOO_SMALL. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_encrypt_alloc(clscrypt_tostring* handle, const uint8_t* in,
                                                             size_t in_size, uint8_t** out, size_t* out_size);
CLSCRYPT_API clscrypt_status clscrypt_tostring_decrypt_alloc(clscrypt_tostring* handle, const uint8_t* in,
                                                             size_t in_size, uint8_t** out, size_t* out_size);

/* EncryptString and DecryptString. The UTF-16 forms give exactly the
   legacy strings (one character per byte of the code page); the UTF-8
   forms convert the same strings to and from UTF-8. Results are allocated
   by the library and end with a 0 not counted in `*out_length`. Progress.
   Errors of the encryptions: 5 UNMAPPABLE (a character the code page lacks,
   once refused), 6 OVERFLOW, 57 SYSTEM (the random source), 18 CANCELLED
   (progress). Errors of the decryptions: 9, 6 and class
   WRONG_KEY_OR_DAMAGED as for clscrypt_tostring_decrypt, 18 CANCELLED
   (progress). */
CLSCRYPT_API clscrypt_status clscrypt_tostring_encrypt_string_utf16(clscrypt_tostring* handle, const uint16_t* text,
                                                                    size_t length, uint16_t** out, size_t* out_length);
CLSCRYPT_API clscrypt_status clscrypt_tostring_decrypt_string_utf16(clscrypt_tostring* handle, const uint16_t* text,
                                                                    size_t length, uint16_t** out, size_t* out_length);
CLSCRYPT_API clscrypt_status clscrypt_tostring_encrypt_string_utf8(clscrypt_tostring* handle, const char* text,
                                                                   size_t length, char** out, size_t* out_length);
CLSCRYPT_API clscrypt_status clscrypt_tostring_decrypt_string_utf8(clscrypt_tostring* handle, const char* text,
                                                                   size_t length, char** out, size_t* out_length);

/* A long text's code-page conversion in pieces, for a caller that cannot
   hold the whole text and its results at once (it encrypts the bytes
   through a stream): the same bytes and characters as EncryptString,
   DecryptString and StrToHex give for the whole text, since the
   conversion goes one UTF-16 unit at a time. End a piece before a pair of
   surrogates rather than between its two units.
   clscrypt_tostring_text_to_bytes_utf16 writes one code-page byte per unit
   of `text` into `out` (`length` bytes). With `check` non-zero a character
   the code page lacks is refused as EncryptString and StrToHex refuse it
   (once clscrypt_tostring_set_refuse_unmappable asked to); with 0 it
   becomes "?", as DecryptString reads its ciphertext text. `*position`
   holds on entry the number of characters (a pair of surrogates counting
   one) in the pieces before this one, so that a refusal names the
   character's place in the whole text, and on return that number past
   this piece. On failure `out` and `*position` are as they were.
   clscrypt_tostring_bytes_to_text_utf16 writes one UTF-16 unit per byte
   into `out` (`size` units). Neither raises progress events.
   Errors: 5 UNMAPPABLE (a character the code page lacks, once refused). */
CLSCRYPT_API clscrypt_status clscrypt_tostring_text_to_bytes_utf16(const clscrypt_tostring* handle,
                                                                   const uint16_t* text, size_t length, int check,
                                                                   size_t* position, uint8_t* out);
CLSCRYPT_API clscrypt_status clscrypt_tostring_bytes_to_text_utf16(const clscrypt_tostring* handle,
                                                                   const uint8_t* bytes, size_t size, uint16_t* out);

/* EncryptFile, DecryptFile and RekeyFile (paths in UTF-8, NUL-terminated),
   crash-safe: the destination is replaced only once complete and on disk
   (a link there is followed; a FIFO or a device is written into, see
   clsToString::EncryptFile). The source may be the destination. Progress;
   the closing event comes after the replacement. On any failure the
   destination is as it was.
   Errors of all three: class SOURCE_MISSING (no source file); 53, 57, 61,
   70, 75, 76 FILE_SYSTEM; 57 SYSTEM (the random source, which also names
   the temporary file); 18 CANCELLED (progress). The encryption also: 6
   OVERFLOW (a source too long for the format). The decryption and the
   re-encryption also, before the destination is touched: 9
   WRONG_KEY_OR_DAMAGED (an empty source, or a length that is not whole
   blocks), 6 WRONG_KEY_OR_DAMAGED, class WRONG_KEY_OR_DAMAGED. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_encrypt_file(clscrypt_tostring* handle, const char* source,
                                                            const char* dest);
CLSCRYPT_API clscrypt_status clscrypt_tostring_decrypt_file(clscrypt_tostring* handle, const char* source,
                                                            const char* dest);
/* Decrypts `source` with the key state of `from` and writes it encrypted
   under `handle`'s, with new random words; `from` may be `handle`. Both
   handles are busy meanwhile; the progress events are `handle`'s. */
CLSCRYPT_API clscrypt_status clscrypt_tostring_rekey_file(clscrypt_tostring* handle, clscrypt_tostring* from,
                                                          const char* source, const char* dest);

/* StrToHex and HexToStr, on UTF-8 or UTF-16 text; results allocated by the
   library, ending with a 0 not counted in `*out_length`. No progress.
   Errors of StrToHex: 5 UNMAPPABLE (a text character the code page lacks,
   once refused), 6 OVERFLOW (a result longer than 2^31 - 1 characters),
   18 CANCELLED (texts of 2^20 characters or more). Errors of HexToStr: 9
   SUBSCRIPT_OUT_OF_RANGE (not a digit pair where one should be), 11
   DIVISION_BY_ZERO (`separators` of -2), 6 OVERFLOW (lengths beyond 32
   bits), 18 CANCELLED (more than 2^20 pairs). */
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
   other call meanwhile; set the key on the instance first: while the stream
   is open, setting it returns kind BUSY (clscrypt_tostring_free is
   deferred until the stream is freed). Outputs go to the caller's buffer:
   `*size` holds its capacity on entry (at least
   CLSCRYPT_STREAM_OUTPUT_SIZE(in_size), else CLSCRYPT_BUFFER_TOO_SMALL with
   that size stored) and the bytes written on return. `out` may be `in`;
   other overlaps are refused (see ALIASING above). Updates and finals
   raise the handle's progress events, as the whole array would.

   CLSCRYPT_BUFFER_TOO_SMALL, and 5 INVALID_ARGUMENT for a null argument or
   a piece longer than SIZE_MAX - 16, leave a stream as it was, to call
   again; any other error leaves it failed (later calls give 5
   INVALID_ARGUMENT). Free it either way. */
typedef struct clscrypt_encrypt_stream clscrypt_encrypt_stream;
typedef struct clscrypt_decrypt_stream clscrypt_decrypt_stream;

/* Saturates at SIZE_MAX rather than wrap (`n` is evaluated twice). */
#define CLSCRYPT_STREAM_OUTPUT_SIZE(n) ((n) > SIZE_MAX - 16 ? SIZE_MAX : (n) + 16)
/* For clscrypt_decrypt_stream_new: the ciphertext's length is not known. */
#define CLSCRYPT_UNKNOWN_LENGTH UINT64_MAX

/* For clscrypt_encrypt_stream_new_ex: encrypt even when the handle never
   had a key. The tables are then the unkeyed ones, and anyone can read what
   the stream writes; it is for readers that expect data written without a
   key, as the legacy class wrote it. */
#define CLSCRYPT_STREAM_ALLOW_NO_KEY 1u

/* Starts the ciphertext of a message of `length` bytes and draws its
   random words. A handle that never had a key is refused (see
   CLSCRYPT_STREAM_ALLOW_NO_KEY). `*out` is null after a failure.
   Errors: 6 OVERFLOW (too long for the format); 5 INVALID_ARGUMENT (no key,
   or a null argument); 5 BUSY (the handle runs an operation); 57 SYSTEM
   (the random source). */
CLSCRYPT_API clscrypt_status clscrypt_encrypt_stream_new(clscrypt_tostring* handle, uint64_t length,
                                                         clscrypt_encrypt_stream** out);
/* The same, with `flags`: 0 or CLSCRYPT_STREAM_ALLOW_NO_KEY; other bits are
   refused with 5 INVALID_ARGUMENT. */
CLSCRYPT_API clscrypt_status clscrypt_encrypt_stream_new_ex(clscrypt_tostring* handle, uint64_t length,
                                                            unsigned flags, clscrypt_encrypt_stream** out);
/* The ciphertext blocks the next `in_size` message bytes complete.
   Progress.
   Errors: CLSCRYPT_BUFFER_TOO_SMALL; 5 INVALID_ARGUMENT (a partial overlap,
   bytes past the announced length, a stream finished or failed); 18
   CANCELLED (progress). */
CLSCRYPT_API clscrypt_status clscrypt_encrypt_stream_update(clscrypt_encrypt_stream* stream, const uint8_t* in,
                                                            size_t in_size, uint8_t* out, size_t* size);
/* The last ciphertext bytes (16 at most), and the closing progress event.
   Errors: CLSCRYPT_BUFFER_TOO_SMALL (a capacity below 16); 5
   INVALID_ARGUMENT (fewer message bytes came than announced, a stream
   finished or failed); 18 CANCELLED (progress). */
CLSCRYPT_API clscrypt_status clscrypt_encrypt_stream_final(clscrypt_encrypt_stream* stream, uint8_t* out, size_t* size);
/* Destroys a stream and wipes what it held; frees the handle if it was
   freed meanwhile and no other stream on it is open. Null is ignored. */
CLSCRYPT_API void clscrypt_encrypt_stream_free(clscrypt_encrypt_stream* stream);

/* Starts reading a ciphertext of `length` bytes, or of the length its size
   descriptor gives with CLSCRYPT_UNKNOWN_LENGTH. The descriptor is checked
   as soon as the first 16 bytes are in, before any message byte comes out;
   a wrong key gives CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED there, every time
   when `length` is given. Without it, about half of the wrong keys read a
   possible length and fail later, after some meaningless output (see
   clscrypt::DecryptStream). `*out` is null after a failure.
   Errors: 9 or 6 WRONG_KEY_OR_DAMAGED (a `length` no ciphertext has). */
CLSCRYPT_API clscrypt_status clscrypt_decrypt_stream_new(clscrypt_tostring* handle, uint64_t length,
                                                         clscrypt_decrypt_stream** out);
/* The message bytes the next `in_size` ciphertext bytes complete.
   Progress.
   Errors: CLSCRYPT_BUFFER_TOO_SMALL; 5 INVALID_ARGUMENT (a partial overlap,
   bytes past the `length` given, a stream finished or failed); class
   WRONG_KEY_OR_DAMAGED (the descriptor does not fit, or bytes past the end
   it gives); 18 CANCELLED (progress). */
CLSCRYPT_API clscrypt_status clscrypt_decrypt_stream_update(clscrypt_decrypt_stream* stream, const uint8_t* in,
                                                            size_t in_size, uint8_t* out, size_t* size);
/* Checks that the whole ciphertext came (a cut one fails as DecryptByte
   fails on it) and raises the closing progress event.
   Errors: 5 INVALID_ARGUMENT (fewer bytes than the `length` given, a stream
   finished or failed); 9, 6 or class WRONG_KEY_OR_DAMAGED (cut short); 18
   CANCELLED (the callback, at the closing event). */
CLSCRYPT_API clscrypt_status clscrypt_decrypt_stream_final(clscrypt_decrypt_stream* stream);
/* The message's length once the first 16 bytes are in, else -1 (and for a
   null stream). Never fails. */
CLSCRYPT_API int64_t clscrypt_decrypt_stream_message_length(const clscrypt_decrypt_stream* stream);
/* As clscrypt_encrypt_stream_free. */
CLSCRYPT_API void clscrypt_decrypt_stream_free(clscrypt_decrypt_stream* stream);

/* ---- Many short values ------------------------------------------------- */

/* Values stored one per database row or config line, each encrypted,
   decrypted or re-keyed under key states set up once (see
   clscrypt::ValueCipher in clscrypt/values.hpp for the forms and the
   false-accept rate of key candidates). These calls raise no progress
   events; the thread's cancellation check is asked before each chunk of
   about 64 KiB of values, the first included. */
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
   pairs. The keys are copied (and the copies wiped): the caller's arrays
   may go once the call returns. `*out` is null after a failure.
   Errors: 5 INVALID_ARGUMENT (no candidate, a code page not offered, an
   unknown flag, a key that is not UTF-8); 9 INVALID_ARGUMENT (the empty
   key after a non-empty one in a history); 5 UNMAPPABLE (a key character
   the code page lacks, without CLSCRYPT_VALUES_REPLACE_UNMAPPABLE); 18
   CANCELLED (keys of more than 2^19 characters). */
CLSCRYPT_API clscrypt_status clscrypt_values_new(const clscrypt_key_history* candidates, size_t candidate_count,
                                                 const clscrypt_key_history* target, int codepage,
                                                 const char* hex_separator, unsigned flags, clscrypt_values** out);
/* Destroys the handle and wipes its key material. Null is ignored. */
CLSCRYPT_API void clscrypt_values_free(clscrypt_values* handle);

/* One value each, into the caller's buffer: `*size` holds the capacity of
   `out` on entry and the result's length on return (CLSCRYPT_BUFFER_TOO_SMALL
   stores the length needed, after the work was done; call again: encrypting
   then draws new random words). A failing value leaves the handle ready for
   the next one; its kind is in clscrypt_error_kind() and its status follows
   the kind. `candidate`, when not null, receives the index of the history
   that read the value.
   Errors of a value, encrypting: 5 INVALID_ARGUMENT (CLSCRYPT_PLAIN_TEXT
   that is not UTF-8); 5 UNMAPPABLE (a text character the code page lacks,
   without CLSCRYPT_VALUES_REPLACE_UNMAPPABLE); 6 OVERFLOW (too long for the
   format); 57 SYSTEM (the random source). Decrypting: 5 INVALID_ARGUMENT
   (not in its stored form; a CLSCRYPT_STORED_STRING value with a character
   the code page lacks is not in its form); 9 or 6 WRONG_KEY_OR_DAMAGED (a
   length no ciphertext has); class WRONG_KEY_OR_DAMAGED (no candidate reads
   it). Re-keying: those of decrypting and 57 SYSTEM. Each call also:
   CLSCRYPT_BUFFER_TOO_SMALL; 18 CANCELLED. */
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
   words). The outcomes' kinds are those the single-value calls give.
   Errors of the call: 5 INVALID_ARGUMENT (offsets that fall, a null `in`
   with values that are not empty); CLSCRYPT_BUFFER_TOO_SMALL; 18 CANCELLED
   (no output then). */
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

/* A new clsHsh; it holds no state. Errors: only those every call may
   give. */
CLSCRYPT_API clscrypt_status clscrypt_hsh_new(clscrypt_hsh** out);
/* Null is ignored. */
CLSCRYPT_API void clscrypt_hsh_free(clscrypt_hsh* handle);

/* SHA256: the digest of the text's low bytes as 64 lower-case hexadecimal
   digits and a 0, written to `hex`. The UTF-8 form decodes the text to
   UTF-16 first. No progress, no cancellation check.
   Errors: only those every call may give. */
CLSCRYPT_API clscrypt_status clscrypt_hsh_sha256_utf16(const clscrypt_hsh* handle, const uint16_t* text, size_t length,
                                                       char hex[65]);
CLSCRYPT_API clscrypt_status clscrypt_hsh_sha256_utf8(const clscrypt_hsh* handle, const char* text, size_t length,
                                                      char hex[65]);

/* SHA-256 of bytes. Errors: only those every call may give. */
CLSCRYPT_API clscrypt_status clscrypt_sha256(const uint8_t* data, size_t size, uint8_t digest[32]);

/* Parallel decryption for the whole process (SetDecryptionThreads in
   clscrypt/threads.hpp): with 2 or more, a long decryption run may use up to
   that many threads, the caller's included. By default (and with 0 or 1) the
   library starts no thread. clscrypt_get_decryption_threads() gives the most
   a run uses now. Progress callbacks and cancellation checks still run on
   the calling thread only. Both may be called from any thread at any time
   and never fail; a run under way keeps the setting it started with. */
CLSCRYPT_API void clscrypt_set_decryption_threads(unsigned threads);
CLSCRYPT_API unsigned clscrypt_get_decryption_threads(void);

#ifdef __cplusplus
}
#endif

#endif /* CLSCRYPT_CLSCRYPT_H */
