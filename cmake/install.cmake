# Installation: headers, both libraries, a CMake package and a pkg-config
# file. (The tool installs itself in tools/CMakeLists.txt.)
#
#   find_package(clscrypt 0.1 CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE clscrypt::clscrypt)   # or _static / _shared
#
# Components, which the Debian packages follow: `runtime` (the shared
# library), `dev` (headers, static library, CMake and pkg-config files),
# `tool` (the command-line tool and its man page).

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CLSCRYPT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/clscrypt)

set(clscrypt_install_targets clscrypt)
if(TARGET clscrypt_static)
    list(APPEND clscrypt_install_targets clscrypt_static)
endif()
if(TARGET clscrypt_shared)
    list(APPEND clscrypt_install_targets clscrypt_shared)
endif()

install(TARGETS ${clscrypt_install_targets}
    EXPORT clscryptTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/clscrypt
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT dev)
install(FILES ${CLSCRYPT_GENERATED_INCLUDE_DIR}/clscrypt/version.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/clscrypt
    COMPONENT dev)
install(EXPORT clscryptTargets
    NAMESPACE clscrypt::
    DESTINATION ${CLSCRYPT_CMAKE_DIR}
    COMPONENT dev)

get_target_property(clscrypt_default_kind clscrypt TYPE)
if(clscrypt_default_kind STREQUAL "SHARED_LIBRARY")
    set(CLSCRYPT_DEFAULT_KIND shared)
else()
    set(CLSCRYPT_DEFAULT_KIND static)
endif()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/clscryptConfig.cmake.in
    ${PROJECT_BINARY_DIR}/clscryptConfig.cmake
    INSTALL_DESTINATION ${CLSCRYPT_CMAKE_DIR})
# Within a 0.x series only the same minor version is compatible, as the SONAME says.
if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(clscrypt_compatibility SameMinorVersion)
else()
    set(clscrypt_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/clscryptConfigVersion.cmake
    COMPATIBILITY ${clscrypt_compatibility})
install(FILES ${PROJECT_BINARY_DIR}/clscryptConfig.cmake ${PROJECT_BINARY_DIR}/clscryptConfigVersion.cmake
    DESTINATION ${CLSCRYPT_CMAKE_DIR}
    COMPONENT dev)

# pkg-config: paths relative to the file's own place, so the tree may move
# (and `cmake --install --prefix` may choose another prefix).
file(RELATIVE_PATH CLSCRYPT_PC_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" CLSCRYPT_PC_PREFIX "${CLSCRYPT_PC_PREFIX}")
# What a static link needs beside libclscrypt.a, for a program a C compiler
# links: the C++ runtime, threads, and Windows' random source.
list(TRANSFORM CLSCRYPT_CXX_RUNTIME_LIBS PREPEND "-l" OUTPUT_VARIABLE clscrypt_pc_runtime)
list(JOIN clscrypt_pc_runtime " " CLSCRYPT_PC_PRIVATE_LIBS)
if(WIN32)
    string(APPEND CLSCRYPT_PC_PRIVATE_LIBS " -lbcrypt")
else()
    string(APPEND CLSCRYPT_PC_PRIVATE_LIBS " -pthread")
endif()
# clscrypt: -lclscrypt (the shared library where both are installed), and
# with --static what a fully static link (cc -static) needs.
# clscrypt-static: libclscrypt.a by its path and the runtime, for a program
# that holds the library but loads the system's libraries as usual.
configure_file(${CMAKE_CURRENT_LIST_DIR}/clscrypt.pc.in ${PROJECT_BINARY_DIR}/clscrypt.pc @ONLY)
set(clscrypt_pc_files ${PROJECT_BINARY_DIR}/clscrypt.pc)
if(TARGET clscrypt_static OR NOT BUILD_SHARED_LIBS)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/clscrypt-static.pc.in ${PROJECT_BINARY_DIR}/clscrypt-static.pc @ONLY)
    list(APPEND clscrypt_pc_files ${PROJECT_BINARY_DIR}/clscrypt-static.pc)
endif()
install(FILES ${clscrypt_pc_files}
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT dev)
