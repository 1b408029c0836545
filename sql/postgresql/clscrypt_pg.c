/* The PostgreSQL extension clscrypt: the SQL functions over the shared core
 * (sql/common).
 *
 * Every call site (a function in one expression of one query) keeps a core
 * session in its fn_extra, allocated in the function's memory context and
 * freed, key states wiped, by a reset callback of that context. The keys
 * selected last are kept as the key array's bytes: a row with the same array
 * (the common case: constant keys) uses them again without looking further,
 * and other keys are found by digest in the session's bounded cache. (Whether
 * the argument is a constant or a parameter does not tell: PL/pgSQL evaluates
 * a simple expression with one executor state per transaction while its
 * variables change.)
 *
 * The core is C++ behind a C interface that never throws, and this file is
 * C: each error is raised with ereport after the core has returned, so the
 * longjmp never crosses a C++ frame. Texts reach the core as UTF-8 and come
 * back in the database's encoding; a result the encoding cannot hold (a NUL
 * character, a character it lacks) is an error and is never stored.
 *
 * Settings: clscrypt.codepage (the code page of keys and texts, 1252 by
 * default) and clscrypt.replace_unmappable (off by default: a key or text
 * with a character the code page lacks is refused; on: the character becomes
 * "?", as the legacy program converted it, to read or write data made so).
 *
 * Cancellation: while a function runs, the library asks a check of ours
 * between chunks of work (at least once a mebibyte); it says stop when a
 * query cancel or a termination is pending and PostgreSQL may act on it now
 * (a statement timeout, pg_cancel_backend, pg_terminate_backend). It only
 * reads PostgreSQL's flags: the library returns normally, and then
 * CHECK_FOR_INTERRUPTS() raises PostgreSQL's own error for it.
 *
 * SQLSTATEs: 22K01 wrong key or not a ciphertext of this format (the try_
 * functions give NULL instead); 22023 invalid_parameter_value (an unknown code
 * page, the empty key after a non-empty one); 22P05 untranslatable_character
 * (a key or text with a character the code page lacks, named by its
 * position; a text that is not UTF-8); 57014 query_canceled and the others of
 * PostgreSQL's cancellation; 22021 character_not_in_repertoire (a
 * decrypted or converted text the database cannot store); 22P02
 * invalid_text_representation (hexadecimal text that does not read); 22012
 * division_by_zero (the legacy separator count -2); 22003
 * numeric_value_out_of_range (a value beyond the format's range); 54000
 * program_limit_exceeded (a result larger than a value may be). */

#include "postgres.h"

#include <string.h>

#include "catalog/namespace.h"
#include "catalog/pg_type.h"
#include "fmgr.h"
#include "miscadmin.h"
#include "mb/pg_wchar.h"
#include "utils/array.h"
#include "utils/builtins.h"
#include "utils/guc.h"
#include "utils/memutils.h"

#include "clscrypt_sql.h"

PG_MODULE_MAGIC;

#define ERRCODE_CLSCRYPT_WRONG_KEY MAKE_SQLSTATE('2', '2', 'K', '0', '1')

/* clscrypt.codepage: the code page of keys and texts. */
static int codepage_setting = 1252;
/* clscrypt.replace_unmappable: "?" for characters the code page lacks. */
static bool replace_unmappable_setting = false;

/* While _PG_init defines the setting, PostgreSQL applies a value given
 * before the module was loaded (postgresql.conf, ALTER DATABASE or ROLE,
 * SET before first use) and turns a refusal into a WARNING, keeping 1252:
 * data would then be read under a code page nobody chose. The check lets
 * such a value through instead, and every function refuses to run under it
 * with the error a SET of it gives (codepage_usable). */
static bool defining_codepage = false;

static bool check_codepage(int* value, void** extra, GucSource source) {
    (void)extra;
    (void)source;
    if (clscrypt_sql_codepage_known(*value) || defining_codepage) return true;
    GUC_check_errdetail("Built-in code pages: %s.", clscrypt_sql_codepage_list());
    return false;
}

static void codepage_usable(void) {
    if (clscrypt_sql_codepage_known(codepage_setting)) return;
    ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
                    errmsg("invalid value for parameter \"clscrypt.codepage\": %d", codepage_setting),
                    errdetail("Built-in code pages: %s.", clscrypt_sql_codepage_list()),
                    errhint("It was set before the clscrypt module was loaded; set a built-in code page.")));
}

void _PG_init(void);
void _PG_init(void) {
    defining_codepage = true;
    DefineCustomIntVariable("clscrypt.codepage", "Code page of keys and texts for the clscrypt functions.",
                            "Texts become bytes through it, and bytes text, as the legacy program's ANSI code page "
                            "converted them.",
                            &codepage_setting, 1252, 0, 65535, PGC_USERSET, 0, check_codepage, NULL, NULL);
    defining_codepage = false;
    DefineCustomBoolVariable("clscrypt.replace_unmappable",
                             "Take \"?\" for characters of keys and texts that the code page lacks.",
                             "Off: such a key or text is an error (SQLSTATE 22P05) naming its position. On: the "
                             "character becomes \"?\", as the legacy program converted it; only to read or write "
                             "data made that way.",
                             &replace_unmappable_setting, false, PGC_USERSET, 0, NULL, NULL, NULL);
    MarkGUCPrefixReserved("clscrypt");
}

/* The library's cancel check: a query cancel (a statement timeout,
 * pg_cancel_backend) or a termination is pending, and PostgreSQL would act
 * on it now. Reads flags only; never raises. */
static int interrupt_pending(void* context) {
    (void)context;
    return (QueryCancelPending || ProcDiePending) && INTERRUPTS_CAN_BE_PROCESSED();
}

typedef struct CallState {
    clscrypt_sql_session* session;
    MemoryContextCallback callback;
    /* The key array last selected (its bytes, in fn_mcxt, wiped by the
     * callback), under this code page; whether it held a NULL. */
    bool selected;
    bool null_key;
    int selected_codepage;
    bool selected_replace;
    char* keys;
    Size keys_size;
    Size keys_room;
    /* UTF-8 to the database's encoding, looked up once. */
    Oid from_utf8;
} CallState;

static void free_call_state(void* arg) {
    CallState* state = (CallState*)arg;
    clscrypt_sql_free(state->session);
    state->session = NULL;
    if (state->keys != NULL) clscrypt_sql_wipe(state->keys, state->keys_room);
}

/* Remembers the key array's bytes as those selected. */
static void remember_keys(FunctionCallInfo fcinfo, CallState* state, const char* bytes, Size size) {
    if (size > state->keys_room) {
        if (state->keys != NULL) {
            clscrypt_sql_wipe(state->keys, state->keys_room);
            pfree(state->keys);
            state->keys = NULL;
            state->keys_room = 0;
        }
        state->keys = (char*)MemoryContextAlloc(fcinfo->flinfo->fn_mcxt, size);
        state->keys_room = size;
    }
    if (size > 0) memcpy(state->keys, bytes, size);
    state->keys_size = size;
}

static CallState* call_state(FunctionCallInfo fcinfo) {
    FmgrInfo* flinfo = fcinfo->flinfo;
    CallState* state = (CallState*)flinfo->fn_extra;
    if (state == NULL) {
        state = (CallState*)MemoryContextAllocZero(flinfo->fn_mcxt, sizeof *state);
        state->session = clscrypt_sql_new();
        if (state->session == NULL) ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("out of memory")));
        state->callback.func = free_call_state;
        state->callback.arg = state;
        MemoryContextRegisterResetCallback(flinfo->fn_mcxt, &state->callback);
        clscrypt_sql_set_output_limit(state->session, MaxAllocSize - VARHDRSZ);
        clscrypt_sql_set_cancel_check(state->session, interrupt_pending, NULL);
        flinfo->fn_extra = state;
    }
    codepage_usable();
    clscrypt_sql_set_replace_unmappable(state->session, replace_unmappable_setting);
    return state;
}

static void raise_core(const char* name, const CallState* state, clscrypt_sql_status status) pg_attribute_noreturn();
static void raise_core(const char* name, const CallState* state, clscrypt_sql_status status) {
    int code;
    if (status == CLSCRYPT_SQL_CANCELLED) {
        /* PostgreSQL's own error for what stopped us (a statement timeout,
         * a cancel request, a termination); ours only if it held it back. */
        CHECK_FOR_INTERRUPTS();
        ereport(ERROR, (errcode(ERRCODE_QUERY_CANCELED), errmsg("%s: interrupted", name)));
    }
    switch (status) {
        case CLSCRYPT_SQL_WRONG_KEY: code = ERRCODE_CLSCRYPT_WRONG_KEY; break;
        case CLSCRYPT_SQL_INVALID_ARGUMENT: code = ERRCODE_INVALID_PARAMETER_VALUE; break;
        case CLSCRYPT_SQL_UNTRANSLATABLE:
        case CLSCRYPT_SQL_UNMAPPABLE: code = ERRCODE_UNTRANSLATABLE_CHARACTER; break;
        case CLSCRYPT_SQL_BAD_HEX: code = ERRCODE_INVALID_TEXT_REPRESENTATION; break;
        case CLSCRYPT_SQL_DIVISION_BY_ZERO: code = ERRCODE_DIVISION_BY_ZERO; break;
        case CLSCRYPT_SQL_OVERFLOW: code = ERRCODE_NUMERIC_VALUE_OUT_OF_RANGE; break;
        case CLSCRYPT_SQL_OUT_OF_MEMORY: code = ERRCODE_OUT_OF_MEMORY; break;
        case CLSCRYPT_SQL_TOO_BIG: code = ERRCODE_PROGRAM_LIMIT_EXCEEDED; break;
        default: code = ERRCODE_INTERNAL_ERROR; break;
    }
    ereport(ERROR, (errcode(code), errmsg("%s: %s", name, clscrypt_sql_error_message(state->session)),
                    errdetail("clscrypt error number %d.", (int)clscrypt_sql_error_number(state->session))));
}

/* A text argument as UTF-8: its own bytes when the database speaks UTF-8,
 * else a converted copy that `release_utf8` wipes. */
typedef struct Utf8 {
    const char* data;
    size_t size;
    char* copy;
} Utf8;

static Utf8 utf8_of(text* t) {
    Utf8 u;
    const char* s = VARDATA_ANY(t);
    const int len = (int)VARSIZE_ANY_EXHDR(t);
    char* converted = pg_server_to_any(s, len, PG_UTF8);
    u.copy = converted != s ? converted : NULL;
    u.data = converted;
    u.size = converted != s ? strlen(converted) : (size_t)len;
    return u;
}

static void release_utf8(Utf8* u) {
    if (u->copy != NULL) {
        clscrypt_sql_wipe(u->copy, u->size);
        pfree(u->copy);
        u->copy = NULL;
    }
}

/* Selects the keys of argument `keys_arg` (none when the call has fewer
 * arguments); false when a key is NULL, and the result is then NULL. */
static bool select_keys(FunctionCallInfo fcinfo, const char* name, CallState* state, int keys_arg) {
    const int codepage = codepage_setting;
    const bool replace = replace_unmappable_setting;
    ArrayType* array = PG_NARGS() > keys_arg ? PG_GETARG_ARRAYTYPE_P(keys_arg) : NULL;
    const char* bytes = array != NULL ? (const char*)array : "";
    const Size size = array != NULL ? VARSIZE(array) : 0;
    clscrypt_sql_status status;
    Datum* elements = NULL;
    bool* nulls = NULL;
    int count = 0;
    int i;
    clscrypt_sql_slice* slices;
    Utf8* keys;

    if (state->selected && state->selected_codepage == codepage && state->selected_replace == replace &&
        state->keys_size == size &&
        (size == 0 || memcmp(state->keys, bytes, size) == 0)) {
        return !state->null_key;
    }
    state->selected = false;
    state->null_key = false;
    if (array != NULL) deconstruct_array(array, TEXTOID, -1, false, TYPALIGN_INT, &elements, &nulls, &count);
    for (i = 0; i < count; ++i) {
        if (nulls[i]) state->null_key = true;
    }
    if (!state->null_key) {
        slices = (clscrypt_sql_slice*)palloc(sizeof(clscrypt_sql_slice) * (count > 0 ? count : 1));
        keys = (Utf8*)palloc(sizeof(Utf8) * (count > 0 ? count : 1));
        for (i = 0; i < count; ++i) {
            keys[i] = utf8_of(DatumGetTextPP(elements[i]));
            slices[i].data = keys[i].data;
            slices[i].size = keys[i].size;
        }
        status = clscrypt_sql_select_keys(state->session, codepage, slices, (size_t)count, NULL);
        for (i = 0; i < count; ++i) release_utf8(&keys[i]);
        pfree(keys);
        pfree(slices);
        if (status != CLSCRYPT_SQL_OK) raise_core(name, state, status);
    }
    if (elements != NULL) pfree(elements);
    if (nulls != NULL) pfree(nulls);
    remember_keys(fcinfo, state, bytes, size);
    state->selected = true;
    state->selected_codepage = codepage;
    state->selected_replace = replace;
    return !state->null_key;
}

/* The largest value a bytea or text may be. */
static void check_result_size(const char* name, CallState* state, size_t size) {
    if (size <= MaxAllocSize - VARHDRSZ) return;
    clscrypt_sql_take_output(state->session, NULL);
    ereport(ERROR, (errcode(ERRCODE_PROGRAM_LIMIT_EXCEEDED),
                    errmsg("%s: a result of %zu bytes exceeds the largest value PostgreSQL stores", name, size)));
}

static Datum output_bytea(const char* name, CallState* state) {
    size_t size;
    bytea* result;
    (void)clscrypt_sql_output(state->session, &size);
    check_result_size(name, state, size);
    result = (bytea*)palloc(VARHDRSZ + size);
    SET_VARSIZE(result, VARHDRSZ + size);
    clscrypt_sql_take_output(state->session, VARDATA(result));
    PG_RETURN_BYTEA_P(result);
}

/* The core's UTF-8 output as text in the database's encoding. The error
 * never quotes the text: it may be a decrypted secret. */
static Datum output_text(const char* name, CallState* state) {
    size_t size;
    const char* out = clscrypt_sql_output(state->session, &size);
    const int encoding = GetDatabaseEncoding();
    text* result;
    char* utf8;
    int converted;
    int room;

    check_result_size(name, state, size);
    if (memchr(out, '\0', size) != NULL) {
        clscrypt_sql_take_output(state->session, NULL);
        ereport(ERROR, (errcode(ERRCODE_CHARACTER_NOT_IN_REPERTOIRE),
                        errmsg("%s: the text has a NUL character, which a PostgreSQL text cannot hold", name),
                        errhint("Use the function that returns bytea.")));
    }
    if (encoding == PG_UTF8 || encoding == PG_SQL_ASCII) {
        result = (text*)palloc(VARHDRSZ + size);
        SET_VARSIZE(result, VARHDRSZ + size);
        clscrypt_sql_take_output(state->session, VARDATA(result));
        PG_RETURN_TEXT_P(result);
    }

    if (!OidIsValid(state->from_utf8)) {
        state->from_utf8 = FindDefaultConversionProc(PG_UTF8, encoding);
        if (!OidIsValid(state->from_utf8)) {
            clscrypt_sql_take_output(state->session, NULL);
            ereport(ERROR, (errcode(ERRCODE_UNDEFINED_FUNCTION),
                            errmsg("%s: no conversion from UTF8 to %s", name, GetDatabaseEncodingName())));
        }
    }
    if (size > (MaxAllocSize - VARHDRSZ - 1) / MAX_CONVERSION_GROWTH) {
        clscrypt_sql_take_output(state->session, NULL);
        ereport(ERROR,
                (errcode(ERRCODE_PROGRAM_LIMIT_EXCEEDED), errmsg("%s: a text of %zu bytes is too long to convert to %s",
                                                                 name, size, GetDatabaseEncodingName())));
    }
    utf8 = (char*)palloc(size + 1);
    clscrypt_sql_take_output(state->session, utf8);
    room = (int)(size * MAX_CONVERSION_GROWTH + 1);
    result = (text*)palloc(VARHDRSZ + room);
    converted = pg_do_encoding_conversion_buf(state->from_utf8, PG_UTF8, encoding, (unsigned char*)utf8, (int)size,
                                              (unsigned char*)VARDATA(result), room, true);
    clscrypt_sql_wipe(utf8, size);
    pfree(utf8);
    if (converted != (int)size) {
        clscrypt_sql_wipe(VARDATA(result), room);
        pfree(result);
        ereport(ERROR, (errcode(ERRCODE_CHARACTER_NOT_IN_REPERTOIRE),
                        errmsg("%s: the text has a character that the database encoding %s lacks", name,
                               GetDatabaseEncodingName())));
    }
    SET_VARSIZE(result, VARHDRSZ + strlen(VARDATA(result)));
    PG_RETURN_TEXT_P(result);
}

/* The cipher functions: the value, then VARIADIC keys (or none). */
static Datum crypt_function(FunctionCallInfo fcinfo, const char* name, clscrypt_sql_op op, bool try_only) {
    CallState* state = call_state(fcinfo);
    clscrypt_sql_status status;
    Utf8 plain = {NULL, 0, NULL};
    const char* in;
    size_t size;

    /* The keys first: their errors leave no converted plaintext behind. */
    if (!select_keys(fcinfo, name, state, 1)) PG_RETURN_NULL();
    if (op == CLSCRYPT_SQL_ENCRYPT_TEXT) {
        plain = utf8_of(PG_GETARG_TEXT_PP(0));
        in = plain.data;
        size = plain.size;
    } else {
        bytea* data = PG_GETARG_BYTEA_PP(0);
        in = VARDATA_ANY(data);
        size = VARSIZE_ANY_EXHDR(data);
    }
    status = clscrypt_sql_crypt(state->session, op, in, size);
    release_utf8(&plain);
    if (status == CLSCRYPT_SQL_WRONG_KEY && try_only) PG_RETURN_NULL();
    if (status != CLSCRYPT_SQL_OK) raise_core(name, state, status);
    return op == CLSCRYPT_SQL_DECRYPT_TEXT ? output_text(name, state) : output_bytea(name, state);
}

PG_FUNCTION_INFO_V1(clscrypt_encrypt_bytea);
Datum clscrypt_encrypt_bytea(PG_FUNCTION_ARGS) {
    return crypt_function(fcinfo, "clscrypt_encrypt", CLSCRYPT_SQL_ENCRYPT_BYTES, false);
}

PG_FUNCTION_INFO_V1(clscrypt_encrypt_text);
Datum clscrypt_encrypt_text(PG_FUNCTION_ARGS) {
    return crypt_function(fcinfo, "clscrypt_encrypt", CLSCRYPT_SQL_ENCRYPT_TEXT, false);
}

PG_FUNCTION_INFO_V1(clscrypt_decrypt);
Datum clscrypt_decrypt(PG_FUNCTION_ARGS) {
    return crypt_function(fcinfo, "clscrypt_decrypt", CLSCRYPT_SQL_DECRYPT_BYTES, false);
}

PG_FUNCTION_INFO_V1(clscrypt_decrypt_text);
Datum clscrypt_decrypt_text(PG_FUNCTION_ARGS) {
    return crypt_function(fcinfo, "clscrypt_decrypt_text", CLSCRYPT_SQL_DECRYPT_TEXT, false);
}

PG_FUNCTION_INFO_V1(clscrypt_try_decrypt);
Datum clscrypt_try_decrypt(PG_FUNCTION_ARGS) {
    return crypt_function(fcinfo, "clscrypt_try_decrypt", CLSCRYPT_SQL_DECRYPT_BYTES, true);
}

PG_FUNCTION_INFO_V1(clscrypt_try_decrypt_text);
Datum clscrypt_try_decrypt_text(PG_FUNCTION_ARGS) {
    return crypt_function(fcinfo, "clscrypt_try_decrypt_text", CLSCRYPT_SQL_DECRYPT_TEXT, true);
}

/* Hexadecimal digits and separators are ASCII, which every server encoding
 * keeps as it is: these two pass the database's bytes straight through. */
PG_FUNCTION_INFO_V1(clscrypt_to_hex);
Datum clscrypt_to_hex(PG_FUNCTION_ARGS) {
    static const char name[] = "clscrypt_to_hex";
    CallState* state = call_state(fcinfo);
    bytea* data = PG_GETARG_BYTEA_PP(0);
    const char* separator = "";
    size_t separator_size = 0;
    clscrypt_sql_status status;
    size_t size;
    text* result;
    if (PG_NARGS() > 1) {
        text* s = PG_GETARG_TEXT_PP(1);
        separator = VARDATA_ANY(s);
        separator_size = VARSIZE_ANY_EXHDR(s);
    }
    status = clscrypt_sql_to_hex(state->session, VARDATA_ANY(data), VARSIZE_ANY_EXHDR(data), separator, separator_size);
    if (status != CLSCRYPT_SQL_OK) raise_core(name, state, status);
    (void)clscrypt_sql_output(state->session, &size);
    check_result_size(name, state, size);
    result = (text*)palloc(VARHDRSZ + size);
    SET_VARSIZE(result, VARHDRSZ + size);
    clscrypt_sql_take_output(state->session, VARDATA(result));
    PG_RETURN_TEXT_P(result);
}

PG_FUNCTION_INFO_V1(clscrypt_from_hex);
Datum clscrypt_from_hex(PG_FUNCTION_ARGS) {
    static const char name[] = "clscrypt_from_hex";
    CallState* state = call_state(fcinfo);
    text* hex = PG_GETARG_TEXT_PP(0);
    const clscrypt_sql_status status = clscrypt_sql_from_hex(state->session, VARDATA_ANY(hex), VARSIZE_ANY_EXHDR(hex));
    if (status != CLSCRYPT_SQL_OK) raise_core(name, state, status);
    return output_bytea(name, state);
}

PG_FUNCTION_INFO_V1(clscrypt_str_to_hex);
Datum clscrypt_str_to_hex(PG_FUNCTION_ARGS) {
    static const char name[] = "clscrypt_str_to_hex";
    CallState* state = call_state(fcinfo);
    Utf8 text_utf8 = utf8_of(PG_GETARG_TEXT_PP(0));
    Utf8 separator = {" ", 1, NULL}; /* the legacy default */
    clscrypt_sql_status status;
    if (PG_NARGS() > 1) separator = utf8_of(PG_GETARG_TEXT_PP(1));
    status = clscrypt_sql_str_to_hex(state->session, codepage_setting, text_utf8.data, text_utf8.size, separator.data,
                                     separator.size);
    release_utf8(&text_utf8);
    release_utf8(&separator);
    if (status != CLSCRYPT_SQL_OK) raise_core(name, state, status);
    return output_text(name, state);
}

PG_FUNCTION_INFO_V1(clscrypt_hex_to_str);
Datum clscrypt_hex_to_str(PG_FUNCTION_ARGS) {
    static const char name[] = "clscrypt_hex_to_str";
    CallState* state = call_state(fcinfo);
    Utf8 hex = utf8_of(PG_GETARG_TEXT_PP(0));
    const int64 separators = PG_NARGS() > 1 ? (int64)PG_GETARG_INT32(1) : 0;
    const clscrypt_sql_status status =
        clscrypt_sql_hex_to_str(state->session, codepage_setting, hex.data, hex.size, separators);
    release_utf8(&hex);
    if (status != CLSCRYPT_SQL_OK) raise_core(name, state, status);
    return output_text(name, state);
}

PG_FUNCTION_INFO_V1(clscrypt_sha256);
Datum clscrypt_sha256(PG_FUNCTION_ARGS) {
    static const char name[] = "clscrypt_sha256";
    CallState* state = call_state(fcinfo);
    Utf8 message = utf8_of(PG_GETARG_TEXT_PP(0));
    const clscrypt_sql_status status = clscrypt_sql_sha256(state->session, message.data, message.size);
    release_utf8(&message);
    if (status != CLSCRYPT_SQL_OK) raise_core(name, state, status);
    return output_text(name, state);
}
