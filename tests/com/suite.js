// The COM server from JScript: strings, optional arguments, the Key
// property, errors through try/catch (e.number, e.description), files, hex
// and SHA256. JScript sends every argument by value and numbers as VT_I4 or
// VT_R8. Prints "N passed, N failed" (cscript's exit status proves nothing
// under Wine).
var passed = 0, failed = 0;

function check(ok, what) {
    if (ok) {
        passed++;
    } else {
        failed++;
        WScript.Echo("FAILED: " + what);
    }
}

// The error a call raises as "number|description" (the number as VB
// numbers it: the low word of an 0x800A.... HRESULT, else the HRESULT).
function errorOf(call) {
    try {
        call();
    } catch (e) {
        var n = (e.number >>> 16) === 0x800A ? e.number & 0xFFFF : e.number;
        return n + "|" + e.description;
    }
    return "no error";
}

var c = new ActiveXObject("clscrypt.clsToString");
var d = new ActiveXObject("clscrypt.clsToString.1");

// Strings, with and without the optional Key; a NUL inside the text.
var t = "Hello, \0 world";
var enc = c.EncryptString(t, "key one");
check(enc.length === 32, "EncryptString length " + enc.length);
check(d.DecryptString(enc, "key one") === t, "DecryptString with the Key argument");
check(c.DecryptString(c.EncryptString("no key given")) === "no key given", "the key stays in force");
// An explicit undefined is an omitted argument.
check(d.DecryptString(c.EncryptString("undefined key", undefined)) === "undefined key", "Key passed as undefined");
d.Key = "prop";
c.Key = "prop";
check(c.DecryptString(d.EncryptString("via property")) === "via property", "the Key property");
// The euro sign is a byte of the ANSI code page (0x80 in 1252): it goes
// through the cipher and back as itself (cut to its low byte it would come
// back as U+00AC).
var euro = c.DecryptString(c.EncryptString("a\u20ACb"));
check(euro === "a\u20ACb", "the euro sign through the ANSI code page: " + escape(euro));

// Hex, with the defaults from the type library; numbers as JScript sends them.
check(c.StrToHex("AB") === "41 42", "StrToHex default separator");
check(c.StrToHex("AB", "-+") === "41--42", "StrToHex separator");
check(c.StrToHex("") === "", "StrToHex of nothing");
check(c.StrToHex("\0\xFF") === "00 FF", "StrToHex of NUL and 0xFF");
check(c.HexToStr("4142") === "AB", "HexToStr default separators");
check(c.HexToStr("41 42", 1) === "AB", "HexToStr one separator");
check(c.HexToStr("41 42", 1.0) === "AB", "HexToStr separators as a double");

// Errors as the legacy class raised them.
var r = errorOf(function () { c.HexToStr("4"); });
check(r === "9|Subscript out of range", "error 9: " + r);
r = errorOf(function () { c.HexToStr("41 42", -2); });
check(r === "11|Division by zero", "error 11: " + r);
r = errorOf(function () { c.HexToStr("414", 2147483647); });
check(r === "6|Overflow", "error 6: " + r);
r = errorOf(function () { c.DecryptString("0123456789ABCDEF", "wrong"); });
check(r.indexOf("-2147221504|") === 0 && r.indexOf("Incorrect size descriptor in Blowfish decryption") > 0, "class error: " + r);
r = errorOf(function () { c.Key = ""; });
check(r === "9|Subscript out of range", "the empty key after another: " + r);
// A JScript array is no byte array: a type mismatch, as the dispatcher
// reports it (0x80020005) or as the script host renames it (13).
r = errorOf(function () { c.EncryptByte([1, 2, 3], "k"); });
check(/^(-2147352571|13)\|/.test(r), "EncryptByte of a JScript array: " + r);

// Files.
var fso = new ActiveXObject("Scripting.FileSystemObject");
var folder = WScript.Arguments.Item(0);
var src = folder + "\\js-plain.txt";
var f = fso.CreateTextFile(src, true);
f.Write("file text");
f.Close();
// Fresh objects: a key mixes into the tables of those before it.
c = new ActiveXObject("clscrypt.clsToString");
d = new ActiveXObject("clscrypt.clsToString");
c.EncryptFile(src, folder + "\\js-cipher.bin", "file key");
check(fso.GetFile(folder + "\\js-cipher.bin").Size === 24, "EncryptFile size");
d.DecryptFile(folder + "\\js-cipher.bin", folder + "\\js-back.txt", "file key");
f = fso.OpenTextFile(folder + "\\js-back.txt");
check(f.ReadAll() === "file text", "DecryptFile");
f.Close();
r = errorOf(function () { c.EncryptFile(folder + "\\missing.txt", folder + "\\x.bin"); });
check(r.indexOf("-2147221504|") === 0 && r.indexOf("Source file does not exist") > 0, "missing source: " + r);
r = errorOf(function () { c.EncryptFile(src, folder + "\\no folder\\x.bin"); });
check(r.indexOf("76|") === 0, "missing folder: " + r);

// SHA256.
var h = new ActiveXObject("clscrypt.clsHsh");
check(h.SHA256("abc") === "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "SHA256 abc");
check(h.SHA256("") === "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", "SHA256 empty");
// Its one argument is not optional: a wrong count (0x8002000E) or a missing
// argument (0x8002000F), or the host's 450 and 449 for them.
r = errorOf(function () { h.SHA256(); });
check(/^(-2147352562|-2147352561|450|449)\|/.test(r), "SHA256 without its argument: " + r);

WScript.Echo(passed + " passed, " + failed + " failed");
