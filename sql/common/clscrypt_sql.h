/* The work behind the SQL functions of both database extensions, with a C
 * interface that never throws: the database glue is C, and PostgreSQL's
 * error reporting unwinds with longjmp, which must never cross a C++ frame.
 * Every call returns a status; the glue raises the database's error after
 * the call has returned, when no C++ frame is left on the stack.
 *
 * A session holds what stays between rows: a bounded cache of key states
 * (so keys are set up once per statement and key set, never per row), the
 * selected key set, and the output of the last call. Texts in and out are
 * UTF-8. One session serves one call at a time.
 *
 * The cache holds the key states of clscrypt_sql_cache_capacity() (512) key
 * sets, least recently used out first: a statement whose rows cycle through
 * up to that many key sets sets each up once; past it, a key set is set up
 * again each time it comes back after being pushed out (correct, only
 * slower). An entry takes about 20 KiB at most (the keyed tables and working
 * buffers for values up to 4 KiB), so a full cache about 10 MiB. Values
 * longer than 4 KiB are converted with buffers made for the call and freed,
 * wiped, before it returns; an output longer than 64 KiB is freed once taken.
 *
 * Policy comes from the library: keys and texts with a character the code
 * page lacks are refused (CLSCRYPT_SQL_UNMAPPABLE) unless the session is set
 * to replace them with "?" as the legacy program did; hexadecimal text of a
 * ciphertext reads by the library's one rule; messages never hold values
 * computed from deciphered bytes; a cancel check of the database's stops a
 * long call between chunks of work. */

#ifndef CLSCRYPT_SQL_H
#define CLSCRYPT_SQL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What went wrong; the glue picks the database's error code from this. */
typedef enum clscrypt_sql_status {
    CLSCRYPT_SQL_OK = 0,
    /* The size descriptor does not check: a wrong key (a wrong key passes
     * with probability about 8 / 2^32), a length no ciphertext has, a value
     * truncated or extended by whole blocks, or one whose first blocks were
     * changed. The try_ functions give NULL. Bit flips inside the message
     * are NOT found: those blocks decrypt to wrong bytes without an error;
     * the format has no integrity check. */
    CLSCRYPT_SQL_WRONG_KEY = 1,
    /* An argument the operation cannot take: an unknown code page, the empty
     * key after a non-empty one. */
    CLSCRYPT_SQL_INVALID_ARGUMENT = 2,
    /* A text (a value, a key, a separator) that is not UTF-8. */
    CLSCRYPT_SQL_UNTRANSLATABLE = 3,
    /* Hexadecimal text that does not read. */
    CLSCRYPT_SQL_BAD_HEX = 4,
    /* The legacy hexadecimal reader's separator count of -2. */
    CLSCRYPT_SQL_DIVISION_BY_ZERO = 5,
    /* A value beyond the format's range. */
    CLSCRYPT_SQL_OVERFLOW = 6,
    CLSCRYPT_SQL_OUT_OF_MEMORY = 7,
    /* A result longer than the session's output limit (the database's
     * largest value), refused before it is made. */
    CLSCRYPT_SQL_TOO_BIG = 9,
    /* The database's cancel check said stop: the call did nothing. */
    CLSCRYPT_SQL_CANCELLED = 10,
    /* A key or text has a character the code page lacks (the message names
     * which argument and the position, never the character). */
    CLSCRYPT_SQL_UNMAPPABLE = 11,
    /* Anything else: a fault of this code or of the library. */
    CLSCRYPT_SQL_INTERNAL = 8
} clscrypt_sql_status;

/* The conversions of the cipher. */
typedef enum clscrypt_sql_op {
    CLSCRYPT_SQL_ENCRYPT_BYTES = 0, /* bytes -> ciphertext */
    CLSCRYPT_SQL_ENCRYPT_TEXT = 1,  /* UTF-8 text through the code page -> ciphertext */
    CLSCRYPT_SQL_DECRYPT_BYTES = 2, /* ciphertext -> bytes */
    CLSCRYPT_SQL_DECRYPT_TEXT = 3   /* ciphertext -> UTF-8 text through the code page */
} clscrypt_sql_op;

typedef struct clscrypt_sql_slice {
    const char* data;
    size_t size;
} clscrypt_sql_slice;

typedef struct clscrypt_sql_session clscrypt_sql_session;

/* NULL when memory ran out. */
clscrypt_sql_session* clscrypt_sql_new(void);
/* Wipes the key states and the last output. NULL is ignored. */
void clscrypt_sql_free(clscrypt_sql_session* session);

/* The longest output the database takes; conversions whose result size is
 * known beforehand refuse a longer one without making it. */
void clscrypt_sql_set_output_limit(clscrypt_sql_session* session, size_t limit);

/* Whether keys and texts with characters the code page lacks take "?" for
 * them (the legacy conversion) instead of being refused; 0 (refuse) unless
 * set. Key sets are cached under the setting they were made with. */
void clscrypt_sql_set_replace_unmappable(clscrypt_sql_session* session, int replace);

/* A check the library asks between chunks of work (at least once a
 * mebibyte) while a call of this session runs, on the calling thread: a
 * non-zero return stops the call with CLSCRYPT_SQL_CANCELLED. It must not
 * longjmp, throw or call into this session. NULL: none. */
typedef int (*clscrypt_sql_cancel_fn)(void* context);
void clscrypt_sql_set_cancel_check(clscrypt_sql_session* session, clscrypt_sql_cancel_fn check, void* context);

/* The number of key sets the cache holds. */
size_t clscrypt_sql_cache_capacity(void);

/* 1 when the library has the code page with this number. */
int clscrypt_sql_codepage_known(int codepage);
/* The library's wipe (clscrypt_wipe), for the glue's own copies of keys and
 * plaintexts. (The PostgreSQL glue cannot include the library's C header:
 * its SQL function clscrypt_sha256 has the name of the library's.) */
void clscrypt_sql_wipe(void* data, size_t size);

/* The numbers of the code pages the library has, as "874, 1250, ...". */
const char* clscrypt_sql_codepage_list(void);

/* Makes the key history `keys` (applied in order; none: data written without
 * a key) under `codepage` the one the cipher operations use. Set up once and
 * kept in a bounded cache, found again by a digest of the keys. `serial`
 * (when not NULL) receives the cache entry's number for
 * clscrypt_sql_reselect. */
clscrypt_sql_status clscrypt_sql_select_keys(clscrypt_sql_session* session, int codepage,
                                             const clscrypt_sql_slice* keys, size_t key_count, uint64_t* serial);
/* Selects the entry `serial` again, for a caller that knows its keys have not
 * changed (constant arguments): 1 when it is still in the cache, else 0 and
 * the caller selects by keys. */
int clscrypt_sql_reselect(clscrypt_sql_session* session, uint64_t serial);

/* The cipher under the selected keys; the result is the output. */
clscrypt_sql_status clscrypt_sql_crypt(clscrypt_sql_session* session, clscrypt_sql_op op, const char* in, size_t size);

/* Bytes as upper-case hexadecimal digits, `separator` between pairs. */
clscrypt_sql_status clscrypt_sql_to_hex(clscrypt_sql_session* session, const char* in, size_t size,
                                        const char* separator, size_t separator_size);
/* Hexadecimal text to bytes by the library's rule (clscrypt::ReadHex):
 * digits of either case, white space and ASCII punctuation skipped, one
 * leading "\x" (PostgreSQL's bytea output) skipped; an error names the
 * position of the first character at fault. */
clscrypt_sql_status clscrypt_sql_from_hex(clscrypt_sql_session* session, const char* in, size_t size);
/* The legacy StrToHex and HexToStr, texts in UTF-8. */
clscrypt_sql_status clscrypt_sql_str_to_hex(clscrypt_sql_session* session, int codepage, const char* text, size_t size,
                                            const char* separator, size_t separator_size);
clscrypt_sql_status clscrypt_sql_hex_to_str(clscrypt_sql_session* session, int codepage, const char* hex, size_t size,
                                            int64_t separators);
/* The legacy text digest: 64 lower-case digits. */
clscrypt_sql_status clscrypt_sql_sha256(clscrypt_sql_session* session, const char* text, size_t size);

/* The last call's output (valid until the next call) and its size. */
const char* clscrypt_sql_output(const clscrypt_sql_session* session, size_t* size);
/* Copies the output to `dest` (room for its size; NULL: nowhere) and wipes
 * it. */
void clscrypt_sql_take_output(clscrypt_sql_session* session, void* dest);

/* The last failure: the library's error number and its message (which names
 * the fault, never a key or a value). */
int32_t clscrypt_sql_error_number(const clscrypt_sql_session* session);
const char* clscrypt_sql_error_message(const clscrypt_sql_session* session);

#ifdef __cplusplus
}
#endif

#endif
