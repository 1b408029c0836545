# Compiles the public headers on their own, as a user's first line would:
#   - clscrypt/clscrypt.h (the C interface) under C89, C99, C11 and C17 and
#     under C++98, C++11, C++17 and C++20, warnings as errors;
#   - every C++ header under C++20, warnings as errors;
#   - every C++ header under C++17, which must fail, and whose first error
#     must be the one that says C++20 is needed.
# Arguments: C_COMPILER CXX_COMPILER INCLUDE_DIRS (separated by |) WORK_DIR.

cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" include_dirs "${INCLUDE_DIRS}")
set(include_flags)
foreach(dir IN LISTS include_dirs)
    list(APPEND include_flags -I${dir})
endforeach()
list(GET include_dirs 0 public_dir)
set(warnings -Wall -Wextra -Wpedantic -Werror)
set(needs_cxx20 "clscrypt's C++ headers need C++20 (the C interface clscrypt/clscrypt.h works with C89 and any C++)")

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(failures)

# Compiles SOURCE (text) as FILE with COMPILER and the flags after it; sets
# rc and out in the caller.
function(compile file source compiler)
    file(WRITE ${WORK_DIR}/${file} "${source}")
    execute_process(COMMAND ${compiler} ${ARGN} ${include_flags} -fsyntax-only ${WORK_DIR}/${file}
        RESULT_VARIABLE code OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr)
    set(rc ${code} PARENT_SCOPE)
    set(out "${stdout}${stderr}" PARENT_SCOPE)
endfunction()

# The C interface: a declaration of each kind is used, so that a construct
# an old standard lacks cannot hide in an unused part.
set(c_use [=[
#include <clscrypt/clscrypt.h>
int use_clscrypt(void);
int use_clscrypt(void) {
    clscrypt_tostring* cipher = 0;
    clscrypt_status status = clscrypt_tostring_new(0, &cipher);
    clscrypt_tostring_free(cipher);
    return (int)status + (int)clscrypt_error_number() + (clscrypt_version() != 0) + CLSCRYPT_VERSION_MAJOR;
}
]=])
foreach(std c89 c99 c11 c17)
    compile(c_header_${std}.c "${c_use}" ${C_COMPILER} -std=${std} ${warnings})
    if(NOT rc EQUAL 0)
        list(APPEND failures "clscrypt/clscrypt.h under -std=${std}:\n${out}")
    endif()
endforeach()
foreach(std c++98 c++11 c++17 c++20)
    string(REPLACE "+" "p" name ${std})
    compile(c_header_${name}.cpp "${c_use}" ${CXX_COMPILER} -std=${std} ${warnings})
    if(NOT rc EQUAL 0)
        list(APPEND failures "clscrypt/clscrypt.h from C++ under -std=${std}:\n${out}")
    endif()
endforeach()

# The C++ headers, each alone.
file(GLOB cxx_headers RELATIVE ${public_dir} ${public_dir}/clscrypt/*.hpp)
if(NOT "clscrypt/clscrypt.hpp" IN_LIST cxx_headers OR NOT "clscrypt/cipher.hpp" IN_LIST cxx_headers)
    message(FATAL_ERROR "no C++ headers in ${public_dir}/clscrypt (found: ${cxx_headers})")
endif()
foreach(header IN LISTS cxx_headers)
    string(REGEX REPLACE "[/.]" "_" name ${header})
    compile(${name}_20.cpp "#include <${header}>\n" ${CXX_COMPILER} -std=c++20 ${warnings})
    if(NOT rc EQUAL 0)
        list(APPEND failures "${header} under -std=c++20:\n${out}")
    endif()
    compile(${name}_17.cpp "#include <${header}>\n" ${CXX_COMPILER} -std=c++17)
    string(REGEX MATCH "error:[^\n]*" first_error "${out}")
    if(rc EQUAL 0)
        list(APPEND failures "${header} compiled under -std=c++17")
    else()
        string(FIND "${first_error}" "${needs_cxx20}" at)
        if(at EQUAL -1)
            list(APPEND failures "${header} under -std=c++17: the first error is not that C++20 is needed:\n${out}")
        endif()
    endif()
endforeach()

if(failures)
    list(JOIN failures "\n\n" report)
    message(FATAL_ERROR "${report}")
endif()
list(LENGTH cxx_headers count)
message(STATUS "C header under 8 standards, ${count} C++ headers under C++20 and refused under C++17")
