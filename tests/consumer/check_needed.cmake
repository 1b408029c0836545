# Checks whether PROGRAM (an ELF executable) needs libclscrypt.so at run time:
# SHARED=YES when it must, NO when it must not (it holds the static library).
# Arguments: READELF PROGRAM SHARED.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${READELF} -d ${PROGRAM} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "readelf -d ${PROGRAM} failed (${rc})")
endif()
if(dynamic MATCHES "\\(NEEDED\\)[^\n]*\\[libclscrypt\\.so")
    set(needs YES)
else()
    set(needs NO)
endif()
if(NOT needs STREQUAL SHARED)
    message(FATAL_ERROR "${PROGRAM}: needs libclscrypt.so: ${needs}, expected ${SHARED}:\n${dynamic}")
endif()
message(STATUS "${PROGRAM}: needs libclscrypt.so: ${needs}")
