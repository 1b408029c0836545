# Checks what an ELF shared library of clscrypt exports: the C interface and
# the public C++ classes, each symbol under the version node VERSION_NODE,
# and nothing else (no internals, no private members whose signatures name
# internal types, no copies of the standard library's templates).
# Arguments: LIBRARY VERSION_NODE.

cmake_minimum_required(VERSION 3.25)

if(NOT EXISTS "${LIBRARY}")
    message(FATAL_ERROR "no library at '${LIBRARY}'")
endif()
execute_process(COMMAND nm -DC --defined-only ${LIBRARY}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR symbols STREQUAL "")
    message(FATAL_ERROR "nm -DC --defined-only ${LIBRARY} failed (${rc})")
endif()
string(REPLACE "\n" ";" lines "${symbols}")

set(failures)
set(exported 0)
foreach(line IN LISTS lines)
    # "address type name"; the version node itself is an absolute symbol.
    if(NOT line MATCHES "^[0-9a-f]+ ([A-Za-z]) (.*)$")
        continue()
    endif()
    set(type ${CMAKE_MATCH_1})
    set(name "${CMAKE_MATCH_2}")
    if(type STREQUAL "A" AND name STREQUAL "${VERSION_NODE}")
        continue()
    endif()
    math(EXPR exported "${exported} + 1")
    if(name MATCHES "detail|RunCbc|EncryptLaidOut|FileInto|CloseProgress|anonymous namespace|::State\\(|::Raise\\(")
        list(APPEND failures "internal: ${name}")
    elseif(NOT name MATCHES "^(clscrypt_[a-z0-9_]+|clscrypt::|(typeinfo|typeinfo name|vtable) for clscrypt::)")
        list(APPEND failures "not of the public interface: ${name}")
    endif()
endforeach()

# Each of them under the version node (objdump -T prints it beside the name).
execute_process(COMMAND objdump -T ${LIBRARY} OUTPUT_VARIABLE table RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump -T ${LIBRARY} failed (${rc})")
endif()
string(REPLACE "\n" ";" rows "${table}")
set(versioned 0)
foreach(row IN LISTS rows)
    # Defined symbols: not *UND*, and not the node's own entry.
    if(row MATCHES "\\*UND\\*|\\*ABS\\*" OR NOT row MATCHES "^[0-9a-f]+ .* ([^ ]+) +([^ ]+)$")
        continue()
    endif()
    set(version ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    if(NOT name MATCHES "^(clscrypt_|_Z)")
        continue()  # reported above
    endif()
    if(version STREQUAL "${VERSION_NODE}")
        math(EXPR versioned "${versioned} + 1")
    else()
        list(APPEND failures "${name} is not under ${VERSION_NODE} (${version})")
    endif()
endforeach()
string(REPLACE "." "\\." node_pattern "${VERSION_NODE}")
foreach(wanted clscrypt_tostring_new clscrypt_error_number clscrypt_version)
    if(NOT table MATCHES "[ \t]${node_pattern}[ \t]+${wanted}\n")
        list(APPEND failures "${wanted} is not exported under ${VERSION_NODE}")
    endif()
endforeach()

# The public interface is there.
foreach(wanted "clscrypt::clsToString::EncryptByte" "clscrypt::clsToString::EncryptFile"
        "clscrypt::clsHsh::SHA256" "clscrypt::EncryptStream::Update" "clscrypt::ValueCipher::EncryptMany"
        "typeinfo for clscrypt::RuntimeError" "vtable for clscrypt::RuntimeError" "clscrypt_tostring_new")
    string(FIND "${symbols}" "${wanted}" at)
    if(at EQUAL -1)
        list(APPEND failures "not exported: ${wanted}")
    endif()
endforeach()

if(failures)
    list(JOIN failures "\n" report)
    message(FATAL_ERROR "${LIBRARY}:\n${report}")
endif()
message(STATUS "${LIBRARY}: ${exported} symbols, the public interface only, ${versioned} under ${VERSION_NODE}")
