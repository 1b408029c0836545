"""Read and write data of the legacy clsToString cipher, and clsHsh's SHA-256 of text.

Single values and files go through the classes, with the operation names of
the original ones::

    cipher = clscrypt.clsToString()
    cipher.Key = "my key"
    sealed = cipher.EncryptByte(b"secret")

Whole columns go through the bulk functions, which set each key history up
once per call and work with the GIL released::

    plain = clscrypt.decrypt_values(column, candidates=[["old"], ["old", "new"]])
    moved = clscrypt.rekey_values(column, candidates=[["old"]], new_keys=["newest"])

Values are any iterable of str or bytes (a list, a pandas Series; a Series
gives a Series back, with its index and name). Stored forms: "hex" (two
digits a byte; read in any case, with any separators), "base64", "string"
(the text EncryptString returns) and "bytes" (the ciphertext bytes). Failures
raise clscrypt.Error, which carries the legacy error `number`, its
`description` and a `kind` (clscrypt.ErrorKind) to branch on; each kind has
a subclass that is also the built-in exception a Python caller expects
(clscrypt.WrongKeyError is a ValueError, clscrypt.SourceMissingError a
FileNotFoundError, clscrypt.UnmappableError a ValueError, ...). Arguments of
the wrong type raise TypeError naming the parameter, never its value.

Instances hold key tables until they are collected; close() (or a `with`
block) wipes them at once.

A key or text with a character the code page lacks raises kind Unmappable
(naming its position and a code page that has it) unless the caller asks for
the legacy "?" in its place: clsToString(codepage, replace_unmappable=True),
or replace_unmappable=True to the functions. Ctrl+C during a long call on the
main thread stops it between chunks of work and raises KeyboardInterrupt.
"""

import sys as _sys
import typing as _t

from . import _clscrypt
from ._clscrypt import (
    BusyError,
    CancelledError,
    DivisionByZeroError,
    Error,
    ErrorKind,
    FileSystemError,
    InvalidArgumentError,
    LengthOverflowError,
    OperatingSystemError,
    OutOfMemoryError,
    ProgressEvent,
    RuntimeError,
    SourceMissingError,
    SubscriptOutOfRangeError,
    UnmappableError,
    WrongKeyError,
    clsHsh,
    clsToString,
    codepages,
    default_codepage,
    read_hex,
)

from ._dask import decrypt_column, encrypt_column, forget_keys, rekey_column

if _t.TYPE_CHECKING:
    import pandas

__version__: str = _clscrypt.__version__

# clscrypt.RuntimeError is Error's name from before; it stays as an alias but
# is left out of __all__, so `from clscrypt import *` does not hide the
# built-in RuntimeError.
__all__ = [
    "BusyError",
    "CancelledError",
    "DivisionByZeroError",
    "Error",
    "ErrorKind",
    "FileSystemError",
    "InvalidArgumentError",
    "LengthOverflowError",
    "OperatingSystemError",
    "OutOfMemoryError",
    "ProgressEvent",
    "SourceMissingError",
    "SubscriptOutOfRangeError",
    "UnmappableError",
    "WrongKeyError",
    "clsHsh",
    "clsToString",
    "codepages",
    "decrypt_column",
    "decrypt_values",
    "default_codepage",
    "encrypt_column",
    "encrypt_values",
    "forget_keys",
    "read_hex",
    "rekey_column",
    "rekey_values",
]

# The compiled names read as the package's own in help(), in tracebacks and
# in pickles (a pickled clscrypt error or clsHsh loads wherever the package
# is installed).
for _name in ("ErrorKind", "ProgressEvent", "clsHsh", "clsToString", "codepages", "default_codepage", "read_hex"):
    getattr(_clscrypt, _name).__module__ = __name__
del _name
for _f in (decrypt_column, encrypt_column, forget_keys, rekey_column):
    _f.__module__ = __name__
del _f

Form = _t.Literal["hex", "base64", "string", "bytes"]
Errors = _t.Literal["raise", "none"]
KeyHistory = _t.Union[str, _t.Sequence[str]]
Values = _t.Iterable[_t.Union[str, bytes, bytearray, memoryview, None]]
Result = _t.Union[list, "pandas.Series"]


def _like(values: _t.Any, result: list) -> _t.Any:
    # A pandas Series gives a Series back on the same index, so the functions
    # serve DataFrame columns and Dask's map_partitions directly. pandas is
    # looked for only where a Series could come from: an imported pandas.
    pandas = _sys.modules.get("pandas")
    if pandas is not None and isinstance(values, pandas.Series):
        return pandas.Series(result, index=values.index, name=values.name, dtype=object)
    return result


def encrypt_values(
    values: Values,
    keys: KeyHistory,
    form: Form = "hex",
    codepage: int = 1252,
    errors: Errors = "raise",
    *,
    separator: str = "",
    replace_unmappable: bool = False,
    threads: int = 1,
) -> Result:
    """Encrypt every value under one key history.

    values: an iterable of plaintexts, all str or all bytes. A str is text:
        it becomes bytes through `codepage`, as EncryptString converts its
        text, and a character the code page lacks fails the value (unless
        `replace_unmappable`). bytes (or bytearray, memoryview) are the
        message bytes as they are. None, and the NaN or NA of pandas' gaps,
        stay None.
    keys: the key history, keys applied in order as successive settings of
        clsToString.Key (["old", "new"]); [] is no key; a single str is a
        history of that one key.
    form: how the ciphertext is returned: "hex" (upper case, `separator`
        between pairs), "base64", "string" (str) or "bytes" (bytes).
    codepage: the code page of the texts and of the "string" form.
    errors: "raise" raises clscrypt.Error for the first value that
        fails, naming its position (never its content); "none" gives None for
        it and goes on.
    replace_unmappable: write "?" for characters the code page lacks, as the
        legacy conversion did, instead of failing: by default a key with
        such a character raises clscrypt.Error of kind
        ErrorKind.Unmappable before any value is written, and a text fails
        its value with that kind.
    threads: how many threads convert the column side by side, each with
        its own key set-up, the GIL released (default 1: the calling thread
        alone; 0: one per processor). With N, the call starts N - 1 threads
        of its own and the calling thread reads the values and makes the
        results while they convert, converting too when it has nothing else
        to do. Worth it for columns of 100,000 values or more; in a Dask
        worker, leave it at 1 (the workers already fill the processors).

    Each value gets fresh random words, so equal plaintexts give different
    ciphertexts. Returns a list, or a pandas Series for a Series.
    """
    return _like(
        values,
        _clscrypt.encrypt_values(
            values, keys, form, codepage, errors, separator, replace_unmappable, threads
        ),
    )


# The parameters shared with encrypt_values are described again in each
# docstring, so that help() on either stands alone.
def decrypt_values(
    values: Values,
    candidates: _t.Optional[_t.Sequence[KeyHistory]] = None,
    form: Form = "hex",
    codepage: int = 1252,
    errors: Errors = "raise",
    *,
    keys: _t.Optional[KeyHistory] = None,
    plain: _t.Literal["str", "bytes"] = "str",
    replace_unmappable: bool = False,
    threads: int = 1,
) -> Result:
    """Decrypt every value, trying the candidate key histories in order.

    values: an iterable of stored values: str for the "hex", "base64" and
        "string" forms, bytes for "bytes". None, and the NaN or NA of pandas'
        gaps, stay None.
    candidates: the key histories to try, most common first
        ([["old"], ["old", "new"]]; a str item is a history of that one
        key). The first whose size descriptor checks reads the value. A wrong
        key passes that check with probability 8 / 2**32, so with N
        candidates a value matching none is accepted by mistake with
        probability at most 8N / 2**32.
    keys: instead of candidates, the one key history to read with.
    form: how the values are stored ("hex", "base64", "string", "bytes").
    codepage: the code page of the plaintext and of the "string" form.
    errors: "raise" raises clscrypt.Error for the first value that
        fails (wrong key or damaged: ErrorKind.WrongKeyOrDamaged; not in its
        stored form: ErrorKind.InvalidArgument), naming its position, never
        its content; "none" gives None for it and goes on.
    plain: "str" gives the plaintext as text through the code page; "bytes"
        gives the message bytes as they are (binary values, or a code page
        the caller applies itself).
    replace_unmappable: take keys with characters the code page lacks as
        the legacy class did, with "?" in their place (to read data written
        under such a key); by default they raise clscrypt.Error of
        kind ErrorKind.Unmappable before any value is read.
    threads: how many threads convert the column side by side, each with
        its own key set-up, the GIL released (default 1: the calling thread
        alone; 0: one per processor). With N, the call starts N - 1 threads
        of its own and the calling thread reads the values and makes the
        results while they convert, converting too when it has nothing else
        to do. Worth it for columns of 100,000 values or more; in a Dask
        worker, leave it at 1 (the workers already fill the processors).

    Returns a list, or a pandas Series for a Series.
    """
    return _like(
        values,
        _clscrypt.decrypt_values(
            values, candidates, form, codepage, errors, keys, plain, replace_unmappable, threads
        ),
    )


def rekey_values(
    values: Values,
    candidates: _t.Optional[_t.Sequence[KeyHistory]] = None,
    new_keys: _t.Optional[KeyHistory] = None,
    form: Form = "hex",
    codepage: int = 1252,
    errors: Errors = "raise",
    *,
    keys: _t.Optional[KeyHistory] = None,
    new_form: _t.Optional[Form] = None,
    separator: str = "",
    replace_unmappable: bool = False,
    threads: int = 1,
) -> Result:
    """Re-encrypt every value under a new key history.

    Each value is read as decrypt_values reads it (candidates tried in order,
    or one history as `keys`) and written as encrypt_values writes it, under
    `new_keys` with fresh random words, in `new_form` (default: `form`,
    hexadecimal pairs joined by `separator`). The plaintext never leaves the
    library. errors="raise" raises clscrypt.Error for the first value
    that fails, naming its position; errors="none" gives None for it.
    `replace_unmappable` (for the keys of both histories) and `threads` as
    for decrypt_values. Returns a list, or a pandas Series for a
    Series.
    """
    return _like(
        values,
        _clscrypt.rekey_values(
            values,
            candidates,
            new_keys,
            form,
            codepage,
            errors,
            keys,
            new_form,
            separator,
            replace_unmappable,
            threads,
        ),
    )
