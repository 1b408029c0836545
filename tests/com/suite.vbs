' The COM server from VBScript: strings, optional arguments, the Key
' property, Err.Number and Err.Description, files, hex and SHA256. Prints
' "N passed, N failed" (cscript's exit status proves nothing under Wine).
Option Explicit
Dim passed, failed
passed = 0 : failed = 0

Sub Check(ok, what)
    If ok Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAILED: " & what
    End If
End Sub

' The last error as Err.Number & "|" & Err.Description, cleared.
Function LastErr()
    LastErr = Err.Number & "|" & Err.Description
    Err.Clear
End Function

Dim c, d, h, t, e, fso, folder, src, enc, dec
Set c = CreateObject("clscrypt.clsToString")
Set d = CreateObject("clscrypt.clsToString.1")

' Strings, with and without the optional Key, variables and literals.
t = "Hello, " & Chr(0) & " world"
enc = c.EncryptString(t, "key one")
Check Len(enc) = 32, "EncryptString length " & Len(enc)
Check d.DecryptString(enc, "key one") = t, "DecryptString with the Key argument"
Check c.DecryptString(c.EncryptString("no key given")) = "no key given", "the key stays in force"
d.Key = "prop"
c.Key = "prop"
Check c.DecryptString(d.EncryptString("via property")) = "via property", "the Key property"

' Hex, with the defaults from the type library.
Check c.StrToHex("AB") = "41 42", "StrToHex default separator"
Check c.StrToHex("AB", "-+") = "41--42", "StrToHex separator"
Check c.StrToHex("") = "", "StrToHex of nothing"
Check c.HexToStr("4142") = "AB", "HexToStr default separators"
Check c.HexToStr("41 42", 1) = "AB", "HexToStr one separator"

' Errors as the legacy class raised them (Wine's VBScript has no Execute).
Dim r(5)
On Error Resume Next
c.HexToStr "4"
r(0) = LastErr()
c.HexToStr "41 42", -2
r(1) = LastErr()
c.HexToStr "414", 2147483647
r(2) = LastErr()
c.DecryptString "0123456789ABCDEF", "wrong"
r(3) = LastErr()
c.Key = ""
r(4) = LastErr()
On Error GoTo 0
Check r(0) = "9|Subscript out of range", "error 9: " & r(0)
Check r(1) = "11|Division by zero", "error 11: " & r(1)
Check r(2) = "6|Overflow", "error 6: " & r(2)
Check Left(r(3), 12) = "-2147221504|" And InStr(r(3), "Incorrect size descriptor in Blowfish decryption") > 0, "class error: " & r(3)
Check r(4) = "9|Subscript out of range", "the empty key after another: " & r(4)

' Files.
Set fso = CreateObject("Scripting.FileSystemObject")
folder = WScript.Arguments(0)
src = folder & "\vbs-plain.txt"
fso.CreateTextFile(src, True).Write "file text"
' Fresh objects: a key mixes into the tables of those before it.
Set c = CreateObject("clscrypt.clsToString")
Set d = CreateObject("clscrypt.clsToString")
c.EncryptFile src, folder & "\vbs-cipher.bin", "file key"
Check fso.GetFile(folder & "\vbs-cipher.bin").Size = 24, "EncryptFile size"
d.DecryptFile folder & "\vbs-cipher.bin", folder & "\vbs-back.txt", "file key"
Check fso.OpenTextFile(folder & "\vbs-back.txt").ReadAll = "file text", "DecryptFile"
On Error Resume Next
c.EncryptFile folder & "\missing.txt", folder & "\x.bin"
e = LastErr()
On Error GoTo 0
Check Left(e, 12) = "-2147221504|" And InStr(e, "Source file does not exist") > 0, "missing source: " & e
On Error Resume Next
c.EncryptFile src, folder & "\no folder\x.bin"
e = LastErr()
On Error GoTo 0
Check Left(e, 3) = "76|", "missing folder: " & e

' SHA256.
Set h = CreateObject("clscrypt.clsHsh")
Check h.SHA256("abc") = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "SHA256 abc"
Check h.SHA256("") = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", "SHA256 empty"

WScript.Echo passed & " passed, " & failed & " failed"
