-- The clscrypt functions. The same names and meanings as the SQLite
-- extension's, so a migration recipe works in either database. Keys are a
-- key history, applied in order; none reads data written without a key.
\echo Use "CREATE EXTENSION clscrypt" to load this file. \quit

-- Encryption takes fresh random words for every value: VOLATILE. The others
-- read the clscrypt.codepage setting (keys and texts go through it): STABLE,
-- except the hexadecimal and digest functions, which depend on their
-- arguments alone.

CREATE FUNCTION clscrypt_encrypt(data bytea) RETURNS bytea
    AS 'MODULE_PATHNAME', 'clscrypt_encrypt_bytea' LANGUAGE C STRICT VOLATILE PARALLEL SAFE;
CREATE FUNCTION clscrypt_encrypt(data bytea, VARIADIC keys text[]) RETURNS bytea
    AS 'MODULE_PATHNAME', 'clscrypt_encrypt_bytea' LANGUAGE C STRICT VOLATILE PARALLEL SAFE;
CREATE FUNCTION clscrypt_encrypt(data text) RETURNS bytea
    AS 'MODULE_PATHNAME', 'clscrypt_encrypt_text' LANGUAGE C STRICT VOLATILE PARALLEL SAFE;
CREATE FUNCTION clscrypt_encrypt(data text, VARIADIC keys text[]) RETURNS bytea
    AS 'MODULE_PATHNAME', 'clscrypt_encrypt_text' LANGUAGE C STRICT VOLATILE PARALLEL SAFE;

CREATE FUNCTION clscrypt_decrypt(ciphertext bytea) RETURNS bytea
    AS 'MODULE_PATHNAME', 'clscrypt_decrypt' LANGUAGE C STRICT STABLE PARALLEL SAFE;
CREATE FUNCTION clscrypt_decrypt(ciphertext bytea, VARIADIC keys text[]) RETURNS bytea
    AS 'MODULE_PATHNAME', 'clscrypt_decrypt' LANGUAGE C STRICT STABLE PARALLEL SAFE;
CREATE FUNCTION clscrypt_decrypt_text(ciphertext bytea) RETURNS text
    AS 'MODULE_PATHNAME', 'clscrypt_decrypt_text' LANGUAGE C STRICT STABLE PARALLEL SAFE;
CREATE FUNCTION clscrypt_decrypt_text(ciphertext bytea, VARIADIC keys text[]) RETURNS text
    AS 'MODULE_PATHNAME', 'clscrypt_decrypt_text' LANGUAGE C STRICT STABLE PARALLEL SAFE;

CREATE FUNCTION clscrypt_try_decrypt(ciphertext bytea) RETURNS bytea
    AS 'MODULE_PATHNAME', 'clscrypt_try_decrypt' LANGUAGE C STRICT STABLE PARALLEL SAFE;
CREATE FUNCTION clscrypt_try_decrypt(ciphertext bytea, VARIADIC keys text[]) RETURNS bytea
    AS 'MODULE_PATHNAME', 'clscrypt_try_decrypt' LANGUAGE C STRICT STABLE PARALLEL SAFE;
CREATE FUNCTION clscrypt_try_decrypt_text(ciphertext bytea) RETURNS text
    AS 'MODULE_PATHNAME', 'clscrypt_try_decrypt_text' LANGUAGE C STRICT STABLE PARALLEL SAFE;
CREATE FUNCTION clscrypt_try_decrypt_text(ciphertext bytea, VARIADIC keys text[]) RETURNS text
    AS 'MODULE_PATHNAME', 'clscrypt_try_decrypt_text' LANGUAGE C STRICT STABLE PARALLEL SAFE;

CREATE FUNCTION clscrypt_to_hex(data bytea) RETURNS text
    AS 'MODULE_PATHNAME', 'clscrypt_to_hex' LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;
CREATE FUNCTION clscrypt_to_hex(data bytea, separator text) RETURNS text
    AS 'MODULE_PATHNAME', 'clscrypt_to_hex' LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;
CREATE FUNCTION clscrypt_from_hex(hex text) RETURNS bytea
    AS 'MODULE_PATHNAME', 'clscrypt_from_hex' LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

CREATE FUNCTION clscrypt_str_to_hex(data text) RETURNS text
    AS 'MODULE_PATHNAME', 'clscrypt_str_to_hex' LANGUAGE C STRICT STABLE PARALLEL SAFE;
CREATE FUNCTION clscrypt_str_to_hex(data text, separator text) RETURNS text
    AS 'MODULE_PATHNAME', 'clscrypt_str_to_hex' LANGUAGE C STRICT STABLE PARALLEL SAFE;
CREATE FUNCTION clscrypt_hex_to_str(hex text) RETURNS text
    AS 'MODULE_PATHNAME', 'clscrypt_hex_to_str' LANGUAGE C STRICT STABLE PARALLEL SAFE;
CREATE FUNCTION clscrypt_hex_to_str(hex text, separators integer) RETURNS text
    AS 'MODULE_PATHNAME', 'clscrypt_hex_to_str' LANGUAGE C STRICT STABLE PARALLEL SAFE;

CREATE FUNCTION clscrypt_sha256(data text) RETURNS text
    AS 'MODULE_PATHNAME', 'clscrypt_sha256' LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION clscrypt_encrypt(bytea, text[]) IS 'ciphertext of the bytes under the key history';
COMMENT ON FUNCTION clscrypt_encrypt(text, text[]) IS 'ciphertext of the text through clscrypt.codepage';
COMMENT ON FUNCTION clscrypt_decrypt(bytea, text[]) IS 'plaintext bytes; SQLSTATE 22K01 for a wrong key';
COMMENT ON FUNCTION clscrypt_decrypt_text(bytea, text[]) IS 'plaintext text through clscrypt.codepage';
COMMENT ON FUNCTION clscrypt_try_decrypt(bytea, text[]) IS 'plaintext bytes; NULL when the size descriptor does not check (wrong key, a length no ciphertext has, truncated or extended by whole blocks); bit flips inside the message are not detected (no integrity check)';
COMMENT ON FUNCTION clscrypt_try_decrypt_text(bytea, text[]) IS 'plaintext text; NULL as clscrypt_try_decrypt: the size descriptor check finds a wrong key or a changed length, never bit flips inside the message';
COMMENT ON FUNCTION clscrypt_sha256(text) IS 'SHA-256 of the low byte of each UTF-16 unit, 64 lower-case digits';
