/* The SQLite loadable extension clscrypt_sqlite: the SQL functions over the
 * shared core (sql/common), one session per connection.
 *
 * Entry point: sqlite3_clscryptsqlite_init, the name SQLite derives from the
 * file name, so `.load ./clscrypt_sqlite` in the shell and
 * `load_extension("./clscrypt_sqlite")` need no entry point argument.
 *
 * Types: data to encrypt is a BLOB (its bytes) or TEXT (through the code
 * page); ciphertexts are BLOBs; keys, hexadecimal text and separators are
 * TEXT. Any other type is an error (SQLITE_MISMATCH), never a silent
 * conversion. A NULL argument gives NULL.
 *
 * Per connection settings, each a function that tells it and, given a
 * value, sets it: clscrypt_codepage([n]) the code page of keys and texts
 * (1252), clscrypt_replace_unmappable([0 or 1]) whether a character of a key
 * or text that the code page lacks becomes "?" as the legacy program
 * converted it (1) or is an error naming its position (0, the default).
 *
 * Cancellation: a call over a value of more than a mebibyte asks the
 * connection, between chunks of the library's work, whether
 * sqlite3_interrupt() was called, and stops with SQLITE_INTERRUPT. SQLite
 * 3.41 tells it through sqlite3_is_interrupted(); before that (Debian 12 has
 * 3.40) the extension prepares an empty statement, which SQLite's parser
 * refuses with SQLITE_INTERRUPT while the connection is interrupted. Shorter
 * values finish within microseconds and SQLite stops the statement between
 * rows itself. */

#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

#include <stdint.h>
#include <string.h>

#include "clscrypt_sql.h"

#if defined(_WIN32)
#define CLSCRYPT_SQLITE_EXPORT __declspec(dllexport)
#else
#define CLSCRYPT_SQLITE_EXPORT __attribute__((visibility("default")))
#endif

/* The legacy program's default outside Windows, and the extension's. */
#define DEFAULT_CODEPAGE 1252

/* A connection's state, shared by all its functions and released by the
 * last of them to go. */
typedef struct Connection {
    clscrypt_sql_session* session;
    int codepage;
    int replace_unmappable;
    int refs;
} Connection;

/* Values longer than this are converted with a cancel check. */
#define CHECKED_SIZE (1u << 20)

/* Whether sqlite3_interrupt() was called on the connection of the running
 * statement. Asked by the library between chunks of work; calls nothing of
 * ours. */
static int connection_interrupted(void* context) {
    sqlite3* db = (sqlite3*)context;
#if SQLITE_VERSION_NUMBER >= 3041000
    if (sqlite3_libversion_number() >= 3041000) return sqlite3_is_interrupted(db);
#endif
    {
        sqlite3_stmt* stmt = NULL;
        const int rc = sqlite3_prepare_v2(db, " ", -1, &stmt, NULL);
        if (stmt != NULL) sqlite3_finalize(stmt);
        return rc == SQLITE_INTERRUPT;
    }
}

/* The cancel check for a call over `size` bytes, or none. */
static void watch_interrupts(sqlite3_context* ctx, const Connection* c, size_t size) {
    if (size > CHECKED_SIZE) {
        clscrypt_sql_set_cancel_check(c->session, connection_interrupted, sqlite3_context_db_handle(ctx));
    } else {
        clscrypt_sql_set_cancel_check(c->session, NULL, NULL);
    }
}

static void release_connection(void* p) {
    Connection* c = (Connection*)p;
    if (--c->refs == 0) {
        clscrypt_sql_free(c->session);
        sqlite3_free(c);
    }
}

static void fail_with(sqlite3_context* ctx, int code, const char* name, const char* message) {
    char* text = sqlite3_mprintf("%s: %s", name, message);
    if (text == NULL) {
        sqlite3_result_error_nomem(ctx);
        return;
    }
    sqlite3_result_error(ctx, text, -1);
    sqlite3_result_error_code(ctx, code);
    sqlite3_free(text);
}

/* The core's failure as the function's error, with the library's number. */
static void fail_core(sqlite3_context* ctx, const char* name, const Connection* c, clscrypt_sql_status status) {
    char* text;
    int code = SQLITE_ERROR;
    if (status == CLSCRYPT_SQL_OUT_OF_MEMORY) {
        sqlite3_result_error_nomem(ctx);
        return;
    }
    if (status == CLSCRYPT_SQL_CANCELLED) {
        fail_with(ctx, SQLITE_INTERRUPT, name, "interrupted");
        return;
    }
    if (status == CLSCRYPT_SQL_OVERFLOW || status == CLSCRYPT_SQL_TOO_BIG) code = SQLITE_TOOBIG;
    text = sqlite3_mprintf("%s: %s (error %d)", name, clscrypt_sql_error_message(c->session),
                           (int)clscrypt_sql_error_number(c->session));
    if (text == NULL) {
        sqlite3_result_error_nomem(ctx);
        return;
    }
    sqlite3_result_error(ctx, text, -1);
    sqlite3_result_error_code(ctx, code);
    sqlite3_free(text);
}

static int wrong_type(sqlite3_context* ctx, const char* name, int argument, const char* expected) {
    char* text = sqlite3_mprintf("argument %d must be %s", argument, expected);
    fail_with(ctx, SQLITE_MISMATCH, name, text != NULL ? text : expected);
    sqlite3_free(text);
    return 0;
}

/* Any NULL argument: the result is NULL. */
static int any_null(int argc, sqlite3_value** argv) {
    int i;
    for (i = 0; i < argc; ++i) {
        if (sqlite3_value_type(argv[i]) == SQLITE_NULL) return 1;
    }
    return 0;
}

/* The core's output as the function's result, BLOB or TEXT. */
static void result_output(sqlite3_context* ctx, Connection* c, int as_text) {
    size_t size = 0;
    void* copy;
    sqlite3* db = sqlite3_context_db_handle(ctx);
    (void)clscrypt_sql_output(c->session, &size);
    if (size > (size_t)sqlite3_limit(db, SQLITE_LIMIT_LENGTH, -1)) {
        clscrypt_sql_take_output(c->session, NULL);
        sqlite3_result_error_toobig(ctx);
        return;
    }
    copy = sqlite3_malloc64(size == 0 ? 1 : (sqlite3_uint64)size);
    if (copy == NULL) {
        clscrypt_sql_take_output(c->session, NULL);
        sqlite3_result_error_nomem(ctx);
        return;
    }
    clscrypt_sql_take_output(c->session, copy);
    if (as_text) {
        sqlite3_result_text64(ctx, (const char*)copy, (sqlite3_uint64)size, sqlite3_free, SQLITE_UTF8);
    } else {
        sqlite3_result_blob64(ctx, copy, (sqlite3_uint64)size, sqlite3_free);
    }
}

/* A BLOB or TEXT argument's bytes (never NULL, even when empty). */
static const char* bytes_of(sqlite3_value* v, size_t* size) {
    const char* p =
        sqlite3_value_type(v) == SQLITE_BLOB ? (const char*)sqlite3_value_blob(v) : (const char*)sqlite3_value_text(v);
    *size = (size_t)sqlite3_value_bytes(v);
    return p != NULL ? p : "";
}

#define STACK_KEYS 16

/* What a statement's constant key arguments were selected as. SQLite keeps a
 * function's auxiliary data across rows only for arguments that are
 * constant, so a mark found on every key argument means the keys are the
 * same as on the row that set it: the cache entry is taken by its number,
 * without hashing the keys again. */
typedef struct KeyMark {
    uint64_t serial;
    int codepage;
    int replace_unmappable;
} KeyMark;

static int reselect_marked(sqlite3_context* ctx, Connection* c, int argc, int first) {
    const KeyMark* mark = (const KeyMark*)sqlite3_get_auxdata(ctx, first);
    int i;
    if (mark == NULL || mark->codepage != c->codepage || mark->replace_unmappable != c->replace_unmappable) return 0;
    for (i = first + 1; i < argc; ++i) {
        if (sqlite3_get_auxdata(ctx, i) != mark) return 0;
    }
    return clscrypt_sql_reselect(c->session, mark->serial);
}

/* The mark is owned by the first key argument's slot; the others hold the
 * same pointer only to be compared with it, never read. */
static void mark_keys(sqlite3_context* ctx, Connection* c, int argc, int first, uint64_t serial) {
    KeyMark* mark = (KeyMark*)sqlite3_malloc64(sizeof *mark);
    int i;
    if (mark == NULL) return; /* no mark: the next row selects by keys */
    mark->serial = serial;
    mark->codepage = c->codepage;
    mark->replace_unmappable = c->replace_unmappable;
    sqlite3_set_auxdata(ctx, first, mark, sqlite3_free);
    if (sqlite3_get_auxdata(ctx, first) != mark) return;
    for (i = first + 1; i < argc; ++i) sqlite3_set_auxdata(ctx, i, mark, NULL);
}

/* Selects the keys argv[first..argc-1]; 0 (the error set) when they are not
 * TEXT or the library refuses them. */
static int select_keys(sqlite3_context* ctx, const char* name, Connection* c, int argc, sqlite3_value** argv,
                       int first) {
    clscrypt_sql_slice stack[STACK_KEYS];
    clscrypt_sql_slice* keys = stack;
    const int count = argc - first;
    clscrypt_sql_status status;
    uint64_t serial = 0;
    int i;
    for (i = first; i < argc; ++i) {
        if (sqlite3_value_type(argv[i]) != SQLITE_TEXT) return wrong_type(ctx, name, i + 1, "TEXT (a key)");
    }
    clscrypt_sql_set_replace_unmappable(c->session, c->replace_unmappable);
    if (count > 0 && reselect_marked(ctx, c, argc, first)) return 1;
    if (count > STACK_KEYS) {
        keys = (clscrypt_sql_slice*)sqlite3_malloc64(sizeof(clscrypt_sql_slice) * (sqlite3_uint64)count);
        if (keys == NULL) {
            sqlite3_result_error_nomem(ctx);
            return 0;
        }
    }
    for (i = 0; i < count; ++i) keys[i].data = bytes_of(argv[first + i], &keys[i].size);
    status = count > 0 ? clscrypt_sql_select_keys(c->session, c->codepage, keys, (size_t)count, &serial)
                       : clscrypt_sql_select_keys(c->session, c->codepage, NULL, 0, NULL);
    if (keys != stack) sqlite3_free(keys);
    if (status != CLSCRYPT_SQL_OK) {
        fail_core(ctx, name, c, status);
        return 0;
    }
    if (count > 0) mark_keys(ctx, c, argc, first, serial);
    return 1;
}

enum { TAKES_BLOB_OR_TEXT = 1, TRY = 2 };

/* clscrypt_encrypt, clscrypt_decrypt and the rest: the value, then its keys. */
static void crypt_function(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* name, clscrypt_sql_op op,
                           int flags) {
    Connection* c = (Connection*)sqlite3_user_data(ctx);
    clscrypt_sql_status status;
    const char* in;
    size_t size;
    int type;
    if (argc < 1) {
        fail_with(ctx, SQLITE_ERROR, name, "takes the value and then its keys");
        return;
    }
    if (any_null(argc, argv)) return;
    type = sqlite3_value_type(argv[0]);
    if (flags & TAKES_BLOB_OR_TEXT) {
        if (type != SQLITE_BLOB && type != SQLITE_TEXT) {
            wrong_type(ctx, name, 1, "a BLOB or TEXT");
            return;
        }
        if (type == SQLITE_TEXT) op = CLSCRYPT_SQL_ENCRYPT_TEXT;
    } else if (type != SQLITE_BLOB) {
        wrong_type(ctx, name, 1, "a BLOB (a ciphertext; clscrypt_from_hex reads hexadecimal text)");
        return;
    }
    if (!select_keys(ctx, name, c, argc, argv, 1)) return;
    in = bytes_of(argv[0], &size);
    watch_interrupts(ctx, c, size);
    status = clscrypt_sql_crypt(c->session, op, in, size);
    if (status == CLSCRYPT_SQL_WRONG_KEY && (flags & TRY)) return;
    if (status != CLSCRYPT_SQL_OK) {
        fail_core(ctx, name, c, status);
        return;
    }
    result_output(ctx, c, op == CLSCRYPT_SQL_DECRYPT_TEXT);
}

static void sql_encrypt(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    crypt_function(ctx, argc, argv, "clscrypt_encrypt", CLSCRYPT_SQL_ENCRYPT_BYTES, TAKES_BLOB_OR_TEXT);
}
static void sql_decrypt(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    crypt_function(ctx, argc, argv, "clscrypt_decrypt", CLSCRYPT_SQL_DECRYPT_BYTES, 0);
}
static void sql_decrypt_text(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    crypt_function(ctx, argc, argv, "clscrypt_decrypt_text", CLSCRYPT_SQL_DECRYPT_TEXT, 0);
}
static void sql_try_decrypt(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    crypt_function(ctx, argc, argv, "clscrypt_try_decrypt", CLSCRYPT_SQL_DECRYPT_BYTES, TRY);
}
static void sql_try_decrypt_text(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    crypt_function(ctx, argc, argv, "clscrypt_try_decrypt_text", CLSCRYPT_SQL_DECRYPT_TEXT, TRY);
}

/* Checks argv[i]'s type; 0 (the error set) when it is not `type`. */
static int expect(sqlite3_context* ctx, const char* name, sqlite3_value** argv, int i, int type) {
    if (sqlite3_value_type(argv[i]) == type) return 1;
    return wrong_type(ctx, name, i + 1, type == SQLITE_BLOB ? "a BLOB" : type == SQLITE_TEXT ? "TEXT" : "an INTEGER");
}

static void finish(sqlite3_context* ctx, const char* name, Connection* c, clscrypt_sql_status status, int as_text) {
    if (status != CLSCRYPT_SQL_OK) {
        fail_core(ctx, name, c, status);
        return;
    }
    result_output(ctx, c, as_text);
}

/* The connection's length limit, which may change between statements. */
static Connection* connection_of(sqlite3_context* ctx) {
    Connection* c = (Connection*)sqlite3_user_data(ctx);
    const int limit = sqlite3_limit(sqlite3_context_db_handle(ctx), SQLITE_LIMIT_LENGTH, -1);
    clscrypt_sql_set_output_limit(c->session, (size_t)(limit > 0 ? limit : 0));
    return c;
}

static void sql_to_hex(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    static const char name[] = "clscrypt_to_hex";
    Connection* c = connection_of(ctx);
    const char *in, *sep = "";
    size_t size, sep_size = 0;
    if (any_null(argc, argv) || !expect(ctx, name, argv, 0, SQLITE_BLOB)) return;
    if (argc > 1) {
        if (!expect(ctx, name, argv, 1, SQLITE_TEXT)) return;
        sep = bytes_of(argv[1], &sep_size);
    }
    in = bytes_of(argv[0], &size);
    watch_interrupts(ctx, c, size);
    finish(ctx, name, c, clscrypt_sql_to_hex(c->session, in, size, sep, sep_size), 1);
}

static void sql_from_hex(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    static const char name[] = "clscrypt_from_hex";
    Connection* c = (Connection*)sqlite3_user_data(ctx);
    const char* in;
    size_t size;
    (void)argc;
    if (any_null(1, argv) || !expect(ctx, name, argv, 0, SQLITE_TEXT)) return;
    in = bytes_of(argv[0], &size);
    watch_interrupts(ctx, c, size);
    finish(ctx, name, c, clscrypt_sql_from_hex(c->session, in, size), 0);
}

static void sql_str_to_hex(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    static const char name[] = "clscrypt_str_to_hex";
    Connection* c = connection_of(ctx);
    const char *in, *sep = " "; /* the legacy default */
    size_t size, sep_size = 1;
    if (any_null(argc, argv) || !expect(ctx, name, argv, 0, SQLITE_TEXT)) return;
    if (argc > 1) {
        if (!expect(ctx, name, argv, 1, SQLITE_TEXT)) return;
        sep = bytes_of(argv[1], &sep_size);
    }
    in = bytes_of(argv[0], &size);
    watch_interrupts(ctx, c, size);
    clscrypt_sql_set_replace_unmappable(c->session, c->replace_unmappable);
    finish(ctx, name, c, clscrypt_sql_str_to_hex(c->session, c->codepage, in, size, sep, sep_size), 1);
}

static void sql_hex_to_str(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    static const char name[] = "clscrypt_hex_to_str";
    Connection* c = (Connection*)sqlite3_user_data(ctx);
    const char* in;
    size_t size;
    sqlite3_int64 separators = 0;
    if (any_null(argc, argv) || !expect(ctx, name, argv, 0, SQLITE_TEXT)) return;
    if (argc > 1) {
        if (!expect(ctx, name, argv, 1, SQLITE_INTEGER)) return;
        separators = sqlite3_value_int64(argv[1]);
    }
    in = bytes_of(argv[0], &size);
    watch_interrupts(ctx, c, size);
    finish(ctx, name, c, clscrypt_sql_hex_to_str(c->session, c->codepage, in, size, separators), 1);
}

static void sql_sha256(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    static const char name[] = "clscrypt_sha256";
    Connection* c = (Connection*)sqlite3_user_data(ctx);
    const char* in;
    size_t size;
    (void)argc;
    if (any_null(1, argv) || !expect(ctx, name, argv, 0, SQLITE_TEXT)) return;
    in = bytes_of(argv[0], &size);
    watch_interrupts(ctx, c, size);
    finish(ctx, name, c, clscrypt_sql_sha256(c->session, in, size), 1);
}

/* clscrypt_codepage(): the connection's code page; clscrypt_codepage(n)
 * sets it and returns it. */
static void sql_codepage(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    static const char name[] = "clscrypt_codepage";
    Connection* c = (Connection*)sqlite3_user_data(ctx);
    if (argc == 1) {
        sqlite3_int64 n;
        if (any_null(1, argv) || !expect(ctx, name, argv, 0, SQLITE_INTEGER)) return;
        n = sqlite3_value_int64(argv[0]);
        if (n < 0 || n > 65535 || !clscrypt_sql_codepage_known((int)n)) {
            char* text = sqlite3_mprintf(
                "Invalid procedure call or argument: code page %lld is not built in (built in: %s) (error 5)", n,
                clscrypt_sql_codepage_list());
            fail_with(ctx, SQLITE_ERROR, name, text != NULL ? text : "unknown code page");
            sqlite3_free(text);
            return;
        }
        c->codepage = (int)n;
    }
    sqlite3_result_int(ctx, c->codepage);
}

/* clscrypt_replace_unmappable(): 1 when the connection takes "?" for
 * characters of keys and texts that the code page lacks, 0 when it refuses
 * them (the default); clscrypt_replace_unmappable(0 or 1) sets it and
 * returns it. */
static void sql_replace_unmappable(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    static const char name[] = "clscrypt_replace_unmappable";
    Connection* c = (Connection*)sqlite3_user_data(ctx);
    if (argc == 1) {
        sqlite3_int64 n;
        if (any_null(1, argv) || !expect(ctx, name, argv, 0, SQLITE_INTEGER)) return;
        n = sqlite3_value_int64(argv[0]);
        if (n != 0 && n != 1) {
            fail_with(ctx, SQLITE_ERROR, name, "Invalid procedure call or argument: takes 0 or 1 (error 5)");
            return;
        }
        c->replace_unmappable = (int)n;
    }
    sqlite3_result_int(ctx, c->replace_unmappable);
}

typedef struct Function {
    const char* name;
    int args;
    int flags;
    void (*fn)(sqlite3_context*, int, sqlite3_value**);
} Function;

CLSCRYPT_SQLITE_EXPORT int sqlite3_clscryptsqlite_init(sqlite3* db, char** error, const sqlite3_api_routines* api) {
    /* Hexadecimal text and the digest depend on their arguments alone; the
     * cipher and the legacy text conversions also on the connection's code
     * page (keys and texts go through it), and encryption on fresh random
     * words. Setting the code page is a side effect: never from a schema. */
    const int pure = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    const int paged = SQLITE_UTF8 | SQLITE_INNOCUOUS;
    static const Function functions[] = {
        {"clscrypt_encrypt", -1, 0, sql_encrypt},
        {"clscrypt_decrypt", -1, 0, sql_decrypt},
        {"clscrypt_decrypt_text", -1, 0, sql_decrypt_text},
        {"clscrypt_try_decrypt", -1, 0, sql_try_decrypt},
        {"clscrypt_try_decrypt_text", -1, 0, sql_try_decrypt_text},
        {"clscrypt_to_hex", 1, 1, sql_to_hex},
        {"clscrypt_to_hex", 2, 1, sql_to_hex},
        {"clscrypt_from_hex", 1, 1, sql_from_hex},
        {"clscrypt_str_to_hex", 1, 0, sql_str_to_hex},
        {"clscrypt_str_to_hex", 2, 0, sql_str_to_hex},
        {"clscrypt_hex_to_str", 1, 0, sql_hex_to_str},
        {"clscrypt_hex_to_str", 2, 0, sql_hex_to_str},
        {"clscrypt_sha256", 1, 1, sql_sha256},
        {"clscrypt_codepage", 0, 2, sql_codepage},
        {"clscrypt_codepage", 1, 2, sql_codepage},
        {"clscrypt_replace_unmappable", 0, 2, sql_replace_unmappable},
        {"clscrypt_replace_unmappable", 1, 2, sql_replace_unmappable},
    };
    Connection* c;
    size_t i;
    SQLITE_EXTENSION_INIT2(api);

    c = (Connection*)sqlite3_malloc64(sizeof *c);
    if (c == NULL) return SQLITE_NOMEM;
    c->session = clscrypt_sql_new();
    c->codepage = DEFAULT_CODEPAGE;
    c->replace_unmappable = 0;
    c->refs = 1; /* held until registration ends */
    if (c->session == NULL) {
        sqlite3_free(c);
        return SQLITE_NOMEM;
    }
    for (i = 0; i < sizeof functions / sizeof functions[0]; ++i) {
        const Function* f = &functions[i];
        const int flags = f->flags == 1 ? pure : f->flags == 2 ? SQLITE_UTF8 | SQLITE_DIRECTONLY : paged;
        int rc;
        ++c->refs; /* the registration's own, released when it goes (or fails) */
        rc = sqlite3_create_function_v2(db, f->name, f->args, flags, c, f->fn, NULL, NULL, release_connection);
        if (rc != SQLITE_OK) {
            if (error != NULL) *error = sqlite3_mprintf("clscrypt_sqlite: cannot register %s", f->name);
            release_connection(c);
            return rc;
        }
    }
    release_connection(c);
    return SQLITE_OK;
}
