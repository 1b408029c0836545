# Writes the package's table of error kinds from the C interface's
# clscrypt_kind enumeration, so that the JavaScript never restates it:
#   cmake -DHEADER=include/clscrypt/clscrypt.h -DOUT=js/dist -P kinds.cmake
# gives kinds.mjs (the ES module's), kinds.cjs (the CommonJS entry's) and
# kinds.d.mts (their type). CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED = 6 becomes
# WrongKeyOrDamaged: 6, the name the C++ ErrorKindName gives; NONE (no error)
# is left out.
file(READ "${HEADER}" header)
string(REGEX MATCH "typedef enum clscrypt_kind {[^}]*}" block "${header}")
if(block STREQUAL "")
    message(FATAL_ERROR "kinds.cmake: no clscrypt_kind enumeration in ${HEADER}")
endif()
# Comments may mention other kinds: drop them before reading the members.
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" block "${block}")
string(REGEX MATCHALL "CLSCRYPT_KIND_[A-Z_]+ *= *[0-9]+" members "${block}")

set(entries "")
set(names "")
foreach(member IN LISTS members)
    string(REGEX REPLACE "CLSCRYPT_KIND_([A-Z_]+) *= *([0-9]+)" "\\1;\\2" parts "${member}")
    list(GET parts 0 upper)
    list(GET parts 1 value)
    if(upper STREQUAL "NONE")
        continue()
    endif()
    string(TOLOWER "${upper}" lower)
    string(REPLACE "_" ";" words "${lower}")
    set(name "")
    foreach(word IN LISTS words)
        string(SUBSTRING "${word}" 0 1 first)
        string(SUBSTRING "${word}" 1 -1 rest)
        string(TOUPPER "${first}" first)
        string(APPEND name "${first}${rest}")
    endforeach()
    string(APPEND entries "  ${name}: ${value},\n")
    list(APPEND names "${name}")
endforeach()
list(LENGTH names count)
if(count LESS 2)
    message(FATAL_ERROR "kinds.cmake: read ${count} kinds from ${HEADER}")
endif()

set(note "// Written by js/native/kinds.cmake from include/clscrypt/clscrypt.h (clscrypt_kind); do not edit.\n")
file(WRITE "${OUT}/kinds.mjs" "${note}/** Error kinds, as the library numbers them (stable values). */\nexport const ErrorKind = Object.freeze({\n${entries}});\n")
file(WRITE "${OUT}/kinds.cjs" "${note}'use strict';\nexports.ErrorKind = Object.freeze({\n${entries}});\n")
string(REPLACE ",\n" ";\n" typed "${entries}")
string(REPLACE "  " "  readonly " typed "${typed}")
file(WRITE "${OUT}/kinds.d.mts" "${note}/** Error kinds, as the library numbers them (stable values). */\nexport declare const ErrorKind: {\n${typed}};\n")
