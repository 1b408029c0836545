"""The compiled part of the clscrypt package; import clscrypt instead."""

import builtins
import os
from types import TracebackType
from typing import Callable, ClassVar, Iterable, List, Literal, NoReturn, Optional, Sequence, Type, Union, overload

__version__: str

_Path = Union[str, os.PathLike[str]]
_Buffer = Union[bytes, bytearray, memoryview]
_KeyHistory = Union[str, Sequence[str]]

class ErrorKind:
    """What went wrong: the `kind` of a clscrypt.RuntimeError.

    Branch on it, never on the description (a wrong key and a missing file
    share a number).
    """

    Other: ClassVar["ErrorKind"]  # 1
    """None of the kinds below."""
    InvalidArgument: ClassVar["ErrorKind"]  # 2
    """An argument or value the operation cannot take: an unknown code page,
    a value not in its stored form."""
    Overflow: ClassVar["ErrorKind"]  # 3
    """A value beyond the format's range."""
    SubscriptOutOfRange: ClassVar["ErrorKind"]  # 4
    """Hexadecimal text that is not pairs of digits where HexToStr expects them."""
    DivisionByZero: ClassVar["ErrorKind"]  # 5
    """HexToStr with a separator count of -2."""
    WrongKeyOrDamaged: ClassVar["ErrorKind"]  # 6
    """Not a ciphertext of this format under this key (wrong key or damaged data)."""
    SourceMissing: ClassVar["ErrorKind"]  # 7
    """The source file of a file operation does not exist."""
    FileSystem: ClassVar["ErrorKind"]  # 8
    """The file system refused or failed an operation."""
    System: ClassVar["ErrorKind"]  # 9
    """Another service of the operating system failed (the random source)."""
    OutOfMemory: ClassVar["ErrorKind"]  # 10
    """Memory ran out."""
    Cancelled: ClassVar["ErrorKind"]  # 11
    """The caller stopped the operation. (Ctrl+C raises KeyboardInterrupt instead.)"""
    Busy: ClassVar["ErrorKind"]  # 13
    """The instance is running an operation (a Progress listener called from
    inside it asked for a new key): the call is refused and the running
    operation goes on unharmed."""
    Unmappable: ClassVar["ErrorKind"]  # 14
    """A key or text has a character the code page lacks and the caller did
    not ask for the legacy "?" in its place. The message names the
    character's position and a code page that has it, never the character."""
    name: str
    value: int
    def __int__(self) -> int: ...

class Error(builtins.RuntimeError):
    """The error every operation raises: a RuntimeError with the legacy error
    number and description, and its kind.

    str(error) is the description followed by context (which value, length or
    file was at fault); it never holds a key or plaintext. Each kind has a
    subclass below that also derives from the built-in exception for it.
    """

    number: int
    """The legacy run-time error number (5, 6, 9, 11, or ClassError)."""
    description: str
    """The bare description, such as "Incorrect size descriptor in Blowfish decryption"."""
    kind: ErrorKind
    """What went wrong; branch on this."""
    Overflow: ClassVar[int]
    SubscriptOutOfRange: ClassVar[int]
    DivisionByZero: ClassVar[int]
    ClassError: ClassVar[int]
    """The class error's number (-2147221504): wrong key, damaged data, missing source file."""

RuntimeError = Error
"""Error's name in earlier releases."""

class InvalidArgumentError(Error, ValueError):
    """Kind InvalidArgument: an argument or value the operation cannot take."""

class LengthOverflowError(Error, OverflowError):
    """Kind Overflow: a length beyond the format's 32-bit range."""

class SubscriptOutOfRangeError(Error, ValueError):
    """Kind SubscriptOutOfRange: text that is not hexadecimal pairs where HexToStr expects them."""

class DivisionByZeroError(Error, ZeroDivisionError):
    """Kind DivisionByZero: HexToStr with a separator count of -2."""

class WrongKeyError(Error, ValueError):
    """Kind WrongKeyOrDamaged: not a ciphertext of this format under this key."""

class SourceMissingError(Error, FileNotFoundError):
    """Kind SourceMissing: the source file of a file operation does not exist."""

class FileSystemError(Error, OSError):
    """Kind FileSystem: the file system refused or failed an operation."""

class OperatingSystemError(Error, OSError):
    """Kind System: another service of the operating system failed."""

class OutOfMemoryError(Error, MemoryError):
    """Kind OutOfMemory: memory ran out."""

class CancelledError(Error):
    """Kind Cancelled: the caller stopped the operation."""

class BusyError(Error):
    """Kind Busy: the instance is running an operation and refuses to change its key."""

class UnmappableError(Error, ValueError):
    """Kind Unmappable: a key or text has a character the code page lacks."""

class ProgressEvent:
    """The Progress event. A listener is called with the percentage; one that
    returns an int replaces it for later listeners, and one that returns 100
    suppresses the closing event."""

    def Subscribe(self, listener: Callable[[int], Optional[int]]) -> int:
        """Adds a listener; returns a token for Unsubscribe."""
    def Unsubscribe(self, token: int) -> None:
        """Removes the listener the token names."""

class _WriteOnlyKey:
    """clsToString.Key: a str may be assigned; reading it raises AttributeError."""

    def __get__(self, instance: object, owner: object = None) -> NoReturn: ...
    def __set__(self, instance: object, value: str) -> None: ...

class clsToString:
    """The legacy cipher: Blowfish-based encryption of byte arrays, strings
    and files, and hexadecimal text.

    Each instance holds key material and refuses to pickle; make instances
    where they are used (or use the bulk functions, which take the keys).
    """

    def __init__(self, codepage: Optional[int] = None, *, replace_unmappable: bool = False) -> None:
        """A new instance with no key, on `codepage` (default: default_codepage()).

        A key or text with a character the code page lacks raises kind
        Unmappable, unless `replace_unmappable` asks for the legacy "?" in
        its place (needed only to read data written that way)."""
    def __copy__(self) -> "clsToString":
        """A twin with the same key state."""
    def __deepcopy__(self, memo: object) -> "clsToString":
        """A twin with the same key state."""
    def close(self) -> None:
        """Wipes the key state now; later operations raise ValueError."""
    def __enter__(self) -> "clsToString": ...
    def __exit__(
        self,
        type: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> Literal[False]:
        """Closes the instance (see close)."""
    # A bytearray changes in place (None comes back); any other bytes-like
    # object gives bytes. (A bytearray also passes for bytes to a type
    # checker, hence the ignored overlap.)
    @overload
    def EncryptByte(self, ByteArray: bytearray, Key: str = "") -> None: ...  # type: ignore[misc]
    @overload
    def EncryptByte(self, ByteArray: _Buffer, Key: str = "") -> bytes:
        """Encrypts bytes: a bytearray changes in place (returns None); other
        bytes-like objects give bytes. A non-empty Key is mixed in first and
        stays in force."""
    @overload
    def DecryptByte(self, ByteArray: bytearray, Key: str = "") -> None: ...  # type: ignore[misc]
    @overload
    def DecryptByte(self, ByteArray: _Buffer, Key: str = "") -> bytes:
        """Decrypts bytes: a bytearray changes in place (returns None); other
        bytes-like objects give bytes. A wrong key or damaged data raises and
        leaves a bytearray untouched."""
    def EncryptString(self, Text: str, Key: str = "") -> str:
        """Encrypts a text; the ciphertext bytes come back one character each
        through the code page."""
    def DecryptString(self, Text: str, Key: str = "") -> str:
        """Decrypts a text EncryptString made."""
    def EncryptFile(self, SourceFile: _Path, DestFile: _Path, Key: str = "") -> None:
        """Encrypts a file into another (or into itself)."""
    def DecryptFile(self, SourceFile: _Path, DestFile: _Path, Key: str = "") -> None:
        """Decrypts a file into another (or into itself); nothing is left
        behind when it fails."""
    def RekeyFile(self, From: "clsToString", SourceFile: _Path, DestFile: _Path) -> None:
        """Decrypts with From's key state and encrypts with this one's."""
    def HexToStr(self, HexText: str, Separators: int = 0) -> str:
        """Hexadecimal pairs, `Separators` characters apart, to text through the code page."""
    def StrToHex(self, Text: str, Separator: str = " ") -> str:
        """Text through the code page to upper-case hexadecimal pairs with
        the separator between them."""
    Key: _WriteOnlyKey
    """Write-only: setting it mixes a new key into the tables. A Progress
    listener that sets it on the instance running the operation (or passes a
    non-empty Key to an operation on it) gets BusyError."""
    @property
    def CodePage(self) -> int:
        """The code page number for keys and text."""
    @CodePage.setter
    def CodePage(self, value: int) -> None: ...
    @property
    def replace_unmappable(self) -> bool:
        """Whether characters the code page lacks become "?" instead of raising."""
    @property
    def Progress(self) -> ProgressEvent:
        """The Progress event."""

class clsHsh:
    """The legacy hashing class. It holds no state, so it pickles."""

    def __init__(self) -> None: ...
    def SHA256(self, sMessage: str) -> str:
        """SHA-256 of the text's low bytes (one per character) as 64
        lower-case hexadecimal digits."""

def codepages() -> List[int]:
    """The code page numbers this library has built in."""

def default_codepage() -> int:
    """The code page new instances use: the system's ANSI code page on
    Windows where built in, else 1252."""

def read_hex(text: str) -> bytes:
    """Reads ciphertext written as hexadecimal text by the library's one rule:
    digits of either case; white space and ASCII punctuation skipped
    anywhere; one leading \\x skipped. Anything else, or an odd number of
    digits, raises clscrypt.InvalidArgumentError naming the
    position (from 1), never the character."""

def encrypt_values(
    values: Iterable[object],
    keys: _KeyHistory,
    form: str = "hex",
    codepage: int = 1252,
    errors: str = "raise",
    separator: str = "",
    replace_unmappable: bool = False,
    threads: int = 1,
    first: int = 0,
) -> List[Union[str, bytes, None]]:
    """The list behind clscrypt.encrypt_values."""

def decrypt_values(
    values: Iterable[object],
    candidates: Optional[Sequence[_KeyHistory]] = None,
    form: str = "hex",
    codepage: int = 1252,
    errors: str = "raise",
    keys: Optional[_KeyHistory] = None,
    plain: str = "str",
    replace_unmappable: bool = False,
    threads: int = 1,
    first: int = 0,
) -> List[Union[str, bytes, None]]:
    """The list behind clscrypt.decrypt_values."""

def rekey_values(
    values: Iterable[object],
    candidates: Optional[Sequence[_KeyHistory]] = None,
    new_keys: Optional[_KeyHistory] = None,
    form: str = "hex",
    codepage: int = 1252,
    errors: str = "raise",
    keys: Optional[_KeyHistory] = None,
    new_form: Optional[str] = None,
    separator: str = "",
    replace_unmappable: bool = False,
    threads: int = 1,
    first: int = 0,
) -> List[Union[str, bytes, None]]:
    """The list behind clscrypt.rekey_values."""
