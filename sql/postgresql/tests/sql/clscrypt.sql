-- The clscrypt extension in a real server: known answers, NULLs, the try_
-- functions, every error path with its SQLSTATE, encodings, hostile input
-- and a million-row round trip.
CREATE EXTENSION clscrypt;
SHOW clscrypt.codepage;
-- The installed extension names its license.
SELECT comment LIKE '%(MIT license)' AS licensed FROM pg_available_extensions WHERE name = 'clscrypt';

-- An error as its SQLSTATE and message, so that one table lists them all.
CREATE FUNCTION pg_temp.fails(query text) RETURNS text LANGUAGE plpgsql AS $$
BEGIN
    EXECUTE query;
    RETURN 'no error';
EXCEPTION WHEN OTHERS THEN
    RETURN SQLSTATE || ' ' || SQLERRM;
END $$;

-- The shared cases of tests/data/conformance.json (run.sh names the file).
\set conformance `cat "$CLSCRYPT_CONFORMANCE"`
CREATE TABLE conformance AS SELECT :'conformance'::jsonb AS j;

-- Known answers: ciphertexts of a program that never set a key (both random
-- words 0), their hexadecimal text in capitals, in small letters and in
-- pairs apart; then those of the library under key histories and code pages
-- (the SQLite tests read the same ones).
SELECT c->>'name' AS name, clscrypt_decrypt(clscrypt_from_hex(c->>'cipher')) AS plain,
       clscrypt_decrypt(clscrypt_from_hex(lower(c->>'cipher'))) = decode(c->>'message', 'hex') AS small_letters,
       clscrypt_decrypt(clscrypt_from_hex(rtrim(regexp_replace(c->>'cipher', '(..)', '\1 ', 'g'))))
           = decode(c->>'message', 'hex') AS pairs_apart
FROM conformance, jsonb_array_elements(j->'known_answers') AS c WHERE c->'keys' = '[]'::jsonb;
SELECT clscrypt_decrypt_text('\xD32584064F095624A76BA7EAE9DD5F21', 'A', 'B') AS history,
       clscrypt_decrypt_text('\xD32584064F095624A76BA7EAE9DD5F21', VARIADIC ARRAY['A', 'B']) AS as_array,
       clscrypt_try_decrypt_text('\xD32584064F095624A76BA7EAE9DD5F21', 'B') AS last_only,
       clscrypt_try_decrypt_text('\xD32584064F095624A76BA7EAE9DD5F21', 'B', 'A') AS reversed;
SELECT clscrypt_decrypt_text('\xE6F1AF8D815F2BD163789C971E08A13B', 'Grüße') AS cp1252;
SET clscrypt.codepage = 1251;
SELECT clscrypt_decrypt_text('\xF539929BB3799E5493101ADEC1EC9E356610035520C52A2F', 'Пароль') AS cp1251,
       clscrypt_str_to_hex('Пр') AS str_to_hex, clscrypt_hex_to_str('CFF0') AS hex_to_str;
RESET clscrypt.codepage;

SELECT m AS message, clscrypt_sha256(m) AS digest
FROM (VALUES (''), ('abc'), (U&'\20AC'), (U&'\0100'), (U&'a\0100\20AC\FFFFb')) AS v(m);
SELECT clscrypt_to_hex('\x00ff10') AS plain, clscrypt_to_hex('\x00ff10', ' : ') AS separated,
       clscrypt_to_hex('\x') AS empty, clscrypt_from_hex(E'00 ff-1a:B2\r\n') AS lenient,
       clscrypt_from_hex('') AS from_empty;
SELECT clscrypt_str_to_hex('AB€') AS default_separator, clscrypt_str_to_hex('AB', '-+') AS repeated,
       clscrypt_hex_to_str('41 42 80', 1) AS spaced, clscrypt_hex_to_str('4142') AS packed;

-- Round trips: every byte value, texts (every byte but 0, which a text
-- cannot hold), empty values, no key.
SELECT clscrypt_decrypt(c, 'A', 'B') = b AS bytes_back, length(c) AS cipher_length,
       length(clscrypt_decrypt_text(t, 'A', 'B')) AS characters,
       clscrypt_decrypt(clscrypt_encrypt(clscrypt_decrypt_text(t, 'A', 'B'), 'k'), 'k') = substr(b, 2) AS text_back
FROM (SELECT b, clscrypt_encrypt(b, 'A', 'B') AS c, clscrypt_encrypt(substr(b, 2), 'A', 'B') AS t
      FROM (SELECT string_agg(set_byte('\x00'::bytea, 0, i), '' ORDER BY i) AS b
            FROM generate_series(0, 255) AS i) AS s) AS t;
SELECT length(clscrypt_encrypt(''::bytea)) AS empty_bytes, clscrypt_decrypt(clscrypt_encrypt(''::text)) AS empty_text,
       clscrypt_decrypt_text(clscrypt_encrypt('x', '')) AS empty_key_first,
       clscrypt_decrypt_text(clscrypt_encrypt('y'), VARIADIC '{}'::text[]) AS no_key;

-- NULL in, NULL out, a NULL key included.
SELECT clscrypt_encrypt(NULL::bytea, 'k') IS NULL AS a, clscrypt_encrypt('x', 'k', NULL) IS NULL AS b,
       clscrypt_decrypt('\x00', NULL) IS NULL AS c, clscrypt_decrypt_text(NULL) IS NULL AS d,
       clscrypt_try_decrypt('\x00', 'k', NULL) IS NULL AS e, clscrypt_to_hex('\x00', NULL) IS NULL AS f,
       clscrypt_from_hex(NULL) IS NULL AS g, clscrypt_hex_to_str('41', NULL) IS NULL AS h,
       clscrypt_sha256(NULL) IS NULL AS i, clscrypt_decrypt('\x00', VARIADIC NULL::text[]) IS NULL AS j;

-- The try_ functions: NULL for a value no key reads, errors otherwise; a
-- COALESCE over candidate keys reads a column of mixed keys.
SELECT clscrypt_try_decrypt(v, 'other') IS NULL AS unread
FROM (VALUES (clscrypt_encrypt('v', 'k')), (''::bytea), ('\x00000000000000000000000000000000000000'::bytea),
             (decode(repeat('00', 24), 'hex'))) AS t(v);
CREATE TABLE mixed (id int, v bytea);
INSERT INTO mixed VALUES (1, clscrypt_encrypt('v1', 'one')), (2, clscrypt_encrypt('v2', 'two')),
                         (3, clscrypt_encrypt('v3', 'three'));
SELECT id, coalesce(clscrypt_try_decrypt_text(v, 'one'), clscrypt_try_decrypt_text(v, 'two')) AS plain
FROM mixed ORDER BY id;

-- Every error path, with its SQLSTATE; none names the key or the value.
SELECT q AS query, pg_temp.fails(q) AS error FROM (VALUES
    ($$SELECT clscrypt_decrypt('\xD32584064F095624A76BA7EAE9DD5F21', 'wrong')$$),
    ($$SELECT clscrypt_decrypt_text('\x0011')$$),
    ($$SELECT clscrypt_decrypt('\x0000000000000000000000000000000000000000')$$),
    ($$SELECT clscrypt_decrypt((SELECT v FROM mixed WHERE id = 1), 'one', '')$$),
    ($$SELECT clscrypt_try_decrypt((SELECT v FROM mixed WHERE id = 1), 'one', '')$$),
    ($$SELECT clscrypt_encrypt('Ж', 'k')$$),
    ($$SELECT clscrypt_decrypt_text(clscrypt_encrypt('\x610062'::bytea))$$),
    ($$SELECT clscrypt_hex_to_str('4100')$$),
    ($$SELECT clscrypt_from_hex('4')$$),
    ($$SELECT clscrypt_from_hex('41 4g')$$),
    ($$SELECT clscrypt_hex_to_str('41 42', -2)$$),
    ($$SELECT clscrypt_hex_to_str('4G')$$),
    ($$SELECT clscrypt_to_hex(decode(repeat('00', 100000), 'hex'), repeat('x', 20000))$$),
    ($$SELECT clscrypt_decrypt('F155B7CFC1E56C7B78E2F0DF084C4045'::text)$$),
    ($$SET clscrypt.codepage = 9$$),
    ($$SET clscrypt.codepage = 'cyrillic'$$)) AS t(q);
SHOW clscrypt.codepage;

-- An error in the middle of an UPDATE leaves the table as it was.
CREATE TABLE t (id int PRIMARY KEY, v bytea);
INSERT INTO t SELECT i, clscrypt_encrypt('v' || i, 'k') FROM generate_series(1, 1000) AS i;
UPDATE t SET v = '\x00' WHERE id = 500;
SELECT pg_temp.fails($$UPDATE t SET v = clscrypt_decrypt(v, 'k')$$) AS error;
SELECT count(*) AS still_encrypted FROM t WHERE clscrypt_try_decrypt_text(v, 'k') = 'v' || id;

-- Thousands of distinct keys in one statement (keys from a column: the
-- bounded cache evicts and sets up again). Keys differ in the first byte of
-- each key word: the format packs key bytes by an accumulating or, so keys
-- differing only in bits an earlier byte of the word sets ("key 10" and
-- "key 11") are one key.
CREATE TABLE keyed AS
SELECT i, k, clscrypt_encrypt('value ' || i, k, 'x') AS v
FROM generate_series(0, 4999) AS i,
     LATERAL (SELECT chr(65 + i % 997 % 26) || 'zzz' || chr(65 + i % 997 / 26 % 26) || 'zzz' ||
                     chr(65 + i % 997 / 676) || 'zzz' AS k) AS key;
SELECT count(DISTINCT k) AS keys,
       count(*) FILTER (WHERE clscrypt_decrypt_text(v, k, 'x') = 'value ' || i) AS read,
       count(*) FILTER (WHERE clscrypt_try_decrypt(v, k || 'y', 'x') IS NULL) AS unread
FROM keyed;
SELECT clscrypt_try_decrypt_text(clscrypt_encrypt('v', 'key 10'), 'key 11') AS same_key;

-- PL/pgSQL evaluates a simple expression with one executor state for the
-- whole transaction, its variables changing between calls: the keys seen on
-- the first call must not be taken for those of the next.
CREATE FUNCTION pg_temp.decrypt_with(c bytea, k text[]) RETURNS text LANGUAGE plpgsql AS $$
BEGIN
    RETURN clscrypt_try_decrypt_text(c, VARIADIC k);
END $$;
SELECT k, pg_temp.decrypt_with(clscrypt_encrypt('under ' || k, k), ARRAY[k]) AS plain
FROM (VALUES ('Akey'), ('Bkey'), ('Akey')) AS t(k);

-- Parallel workers load the module and take the leader's code page.
SET clscrypt.codepage = 1251;
CREATE TABLE cyrillic AS SELECT i, clscrypt_encrypt('Привет ' || i, 'Ключ') AS v FROM generate_series(1, 20000) AS i;
ANALYZE cyrillic;
SET parallel_setup_cost = 0;
SET parallel_tuple_cost = 0;
SET min_parallel_table_scan_size = 0;
SET max_parallel_workers_per_gather = 2;
EXPLAIN (COSTS OFF) SELECT count(*) FROM cyrillic WHERE clscrypt_try_decrypt_text(v, 'Ключ') = 'Привет ' || i;
SELECT count(*) AS read_in_parallel FROM cyrillic WHERE clscrypt_try_decrypt_text(v, 'Ключ') = 'Привет ' || i;
RESET max_parallel_workers_per_gather;
RESET min_parallel_table_scan_size;
RESET parallel_tuple_cost;
RESET parallel_setup_cost;
RESET clscrypt.codepage;

-- Large values.
SELECT length(c) AS cipher_length, md5(clscrypt_decrypt(c, 'k')) = md5(b) AS same
FROM (SELECT b, clscrypt_encrypt(b, 'k') AS c
      FROM (SELECT decode(repeat('5a', 16 * 1024 * 1024), 'hex') AS b) AS s) AS t;

-- A million-row UPDATE round trip.
CREATE TABLE million AS SELECT i AS id, ('value ' || i)::text AS p, NULL::bytea AS v
FROM generate_series(1, 1000000) AS i;
UPDATE million SET v = clscrypt_encrypt(p, 'old key', 'new key'), p = NULL;
SELECT count(*) AS encrypted FROM million WHERE p IS NULL AND length(v) = (length('value ' || id) + 19) / 8 * 8;
UPDATE million SET p = clscrypt_decrypt_text(v, 'old key', 'new key');
SELECT count(*) AS decrypted FROM million WHERE p = 'value ' || id;

-- Every known answer of the shared cases in this code page.
SELECT c->>'name' AS name,
       clscrypt_decrypt(decode(c->>'cipher', 'hex'), VARIADIC ARRAY(SELECT jsonb_array_elements_text(c->'keys')))
           = decode(c->>'message', 'hex') AS reads
FROM conformance, jsonb_array_elements(j->'known_answers') AS c WHERE (c->>'codepage')::int = 1252;

-- Keys with a character the code page lacks: refused (22P05, naming the
-- key and the position, never the character) unless
-- clscrypt.replace_unmappable is on; then "?" stands for it, as the legacy
-- program converted it.
SHOW clscrypt.replace_unmappable;
SELECT c->>'name' AS name, (c->>'codepage')::int AS codepage,
       pg_temp.fails(format('SELECT clscrypt_decrypt(%L, %L)', decode(c->>'cipher_with_replacement', 'hex'), c->>'key'))
           AS refused
FROM conformance, jsonb_array_elements(j->'unmappable_keys') AS c;
SELECT pg_temp.fails($$SELECT clscrypt_encrypt('aЖ', 'k')$$) AS text_refused,
       pg_temp.fails($$SELECT clscrypt_str_to_hex('abЖ')$$) AS str_to_hex_refused;
SET clscrypt.replace_unmappable = on;
SELECT c->>'name' AS name,
       clscrypt_decrypt(decode(c->>'cipher_with_replacement', 'hex'), c->>'key') = decode(c->>'message', 'hex')
           AS reads_with_replacement
FROM conformance, jsonb_array_elements(j->'unmappable_keys') AS c;
SELECT clscrypt_decrypt_text(clscrypt_encrypt('aЖ', 'k'), 'k') AS text_replaced, clscrypt_str_to_hex('abЖ') AS str_to_hex;
-- The key set up with "?" is not taken for the refusing one.
RESET clscrypt.replace_unmappable;
SELECT pg_temp.fails(format('SELECT clscrypt_decrypt(%L, %L)', decode(c->>'cipher_with_replacement', 'hex'), c->>'key'))
           AS refused_again
FROM conformance, jsonb_array_elements(j->'unmappable_keys') AS c LIMIT 1;

-- Ciphertext hexadecimal text reads by the library's one rule, PostgreSQL's
-- own "\x" output included, so `psql -At -c 'SELECT c ...'` exports read.
SELECT c->>'text' AS text,
       CASE WHEN c ? 'bytes' THEN encode(clscrypt_from_hex(c->>'text'), 'hex') = lower(c->>'bytes') END AS reads,
       c->>'error_position' AS error_position,
       CASE WHEN c ? 'error_position' THEN pg_temp.fails(format('SELECT clscrypt_from_hex(%L)', c->>'text')) END AS error
FROM conformance, jsonb_array_elements(j->'hex') AS c;
SELECT clscrypt_decrypt_text(clscrypt_from_hex(clscrypt_encrypt('exported', 'k')::text), 'k') AS bytea_text_reads;

-- Every slice of whole blocks at every offset of the spliced ciphertext,
-- decrypted with the right key: each fails, and no message holds any of the
-- forbidden strings (values computed from deciphered bytes).
CREATE TABLE slices AS
SELECT row_number() OVER () AS id, at, len, substring(decode(j->'spliced'->>'cipher', 'hex') FROM at + 1 FOR len) AS v
FROM conformance, generate_series(0, length(decode(j->'spliced'->>'cipher', 'hex')) - 16) AS at,
     generate_series(16, length(decode(j->'spliced'->>'cipher', 'hex')) - at, 8) AS len
WHERE NOT (at = 0 AND len = length(decode(j->'spliced'->>'cipher', 'hex')));
CREATE TABLE slice_errors AS
SELECT id, len, fn, pg_temp.fails(format('SELECT %s(%L, VARIADIC %L::text[])', fn, v,
                                         ARRAY(SELECT jsonb_array_elements_text(j->'spliced'->'keys')))) AS error
FROM slices, conformance, unnest(ARRAY['clscrypt_decrypt', 'clscrypt_decrypt_text']) AS fn;
SELECT count(*) AS slices, count(*) FILTER (WHERE error LIKE '22K01 %a ciphertext of ' || len || ' bytes does not decrypt%')
           AS failed_naming_their_length,
       count(*) FILTER (WHERE EXISTS (SELECT 1 FROM jsonb_array_elements_text(j->'spliced'->'forbidden') AS f
                                      WHERE strpos(error, f) > 0)) AS leaking
FROM slice_errors, conformance;
SELECT count(*) AS try_gives_null FROM slices, conformance
WHERE clscrypt_try_decrypt(v, VARIADIC ARRAY(SELECT jsonb_array_elements_text(j->'spliced'->'keys'))) IS NULL;

-- Another database encoding: texts are converted both ways; a decrypted text
-- the encoding cannot hold is an error.
CREATE DATABASE clscrypt_latin1 ENCODING 'LATIN1' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0;
\c clscrypt_latin1
SET client_encoding = 'UTF8';
CREATE EXTENSION clscrypt;
CREATE FUNCTION pg_temp.fails(query text) RETURNS text LANGUAGE plpgsql AS $$
BEGIN
    EXECUTE query;
    RETURN 'no error';
EXCEPTION WHEN OTHERS THEN
    RETURN SQLSTATE || ' ' || SQLERRM;
END $$;
SELECT clscrypt_decrypt_text(clscrypt_encrypt('Grüße', 'clé'), 'clé') AS latin1,
       clscrypt_decrypt(clscrypt_encrypt('Grüße')) AS cp1252_bytes, clscrypt_sha256('é') AS digest,
       clscrypt_str_to_hex('é', 'é') AS str_to_hex;
SELECT pg_temp.fails($$SELECT clscrypt_decrypt_text(clscrypt_encrypt('\x80'::bytea))$$) AS euro_sign;

-- A code page given before the module is loaded (ALTER DATABASE, SET before
-- the first call, postgresql.conf) fails like one SET afterwards: the
-- functions refuse to run under it rather than use 1252.
\c postgres
ALTER DATABASE clscrypt_latin1 SET clscrypt.codepage = 9;
\c clscrypt_latin1
SELECT clscrypt_sha256('a');
SET clscrypt.codepage = 1251;
SELECT clscrypt_str_to_hex('AB') AS after_a_good_set;
RESET clscrypt.codepage;
SELECT clscrypt_str_to_hex('AB');
\c postgres
ALTER DATABASE clscrypt_latin1 RESET clscrypt.codepage;
\c clscrypt_latin1
SET clscrypt.codepage = 9;
SELECT clscrypt_encrypt('x', 'k');
SET clscrypt.codepage = 9;
