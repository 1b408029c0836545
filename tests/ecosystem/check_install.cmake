# Installs the build tree into PREFIX and checks the result.
# Arguments: BUILD_DIR PREFIX CONFIG LIBDIR SOVERSION VERSION VERSION_NODE.

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} --config ${CONFIG}
    RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${rc})")
endif()

set(expected
    include/clscrypt/clscrypt.hpp include/clscrypt/clscrypt.h include/clscrypt/export.h
    include/clscrypt/cipher.hpp include/clscrypt/digest.hpp include/clscrypt/version.h
    ${LIBDIR}/libclscrypt.a ${LIBDIR}/libclscrypt.so ${LIBDIR}/libclscrypt.so.${SOVERSION}
    ${LIBDIR}/libclscrypt.so.${VERSION}
    ${LIBDIR}/cmake/clscrypt/clscryptConfig.cmake ${LIBDIR}/cmake/clscrypt/clscryptConfigVersion.cmake
    ${LIBDIR}/cmake/clscrypt/clscryptTargets.cmake ${LIBDIR}/pkgconfig/clscrypt.pc ${LIBDIR}/pkgconfig/clscrypt-static.pc
    bin/clscrypt share/man/man1/clscrypt.1)
foreach(f IN LISTS expected)
    if(NOT EXISTS ${PREFIX}/${f})
        message(FATAL_ERROR "not installed: ${f}")
    endif()
endforeach()
# No internal header leaks into the installation.
file(GLOB_RECURSE headers RELATIVE ${PREFIX}/include ${PREFIX}/include/*)
foreach(h IN LISTS headers)
    if(NOT h MATCHES "^clscrypt/[a-z]+\\.(h|hpp)$")
        message(FATAL_ERROR "unexpected installed header: ${h}")
    endif()
endforeach()

set(so ${PREFIX}/${LIBDIR}/libclscrypt.so.${VERSION})
execute_process(COMMAND objdump -p ${so} OUTPUT_VARIABLE dynamic)
if(NOT dynamic MATCHES "SONAME +libclscrypt\\.so\\.${SOVERSION}\n")
    message(FATAL_ERROR "SONAME is not libclscrypt.so.${SOVERSION}:\n${dynamic}")
endif()

# Hidden visibility: the public classes and the C interface are exported,
# the internals are not.
execute_process(COMMAND nm -DC --defined-only ${so} OUTPUT_VARIABLE symbols)
foreach(wanted "clscrypt::clsToString::EncryptByte" "clscrypt::clsHsh::SHA256" "typeinfo for clscrypt::RuntimeError"
        "clscrypt_tostring_new" "clscrypt_error_number")
    string(FIND "${symbols}" "${wanted}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "not exported: ${wanted}")
    endif()
endforeach()
if(symbols MATCHES "[A-Za-z] (clscrypt::(detail|platform)::[^\n]*)")
    message(FATAL_ERROR "exported, but internal: ${CMAKE_MATCH_1}")
endif()

# Only the public interface, and under the version node.
set(LIBRARY ${so})
include(${CMAKE_CURRENT_LIST_DIR}/check_symbols.cmake)

execute_process(COMMAND ${PREFIX}/bin/clscrypt --version OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out MATCHES "clscrypt ${VERSION}")
    message(FATAL_ERROR "installed tool: status ${rc}, printed '${out}'")
endif()
message(STATUS "installed tree in ${PREFIX} is complete")
