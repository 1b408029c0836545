# CLI11 for cross builds. The library is header-only, so the build machine's
# headers serve any target; but its own package file would add the whole of
# /usr/include to the target's include path. This one offers CLI/ alone.
if(NOT TARGET CLI11::CLI11)
    find_path(CLSCRYPT_CLI11_HEADERS CLI/CLI.hpp PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH
              REQUIRED)
    set(_cli11_include ${CMAKE_BINARY_DIR}/cross-cli11)
    file(MAKE_DIRECTORY ${_cli11_include})
    file(CREATE_LINK ${CLSCRYPT_CLI11_HEADERS}/CLI ${_cli11_include}/CLI SYMBOLIC)
    add_library(CLI11::CLI11 INTERFACE IMPORTED)
    set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_cli11_include})
    unset(_cli11_include)
endif()
set(CLI11_FOUND TRUE)
