# Debian packages with CPack (`cpack -G DEB` in a build tree):
#   libclscryptSOVERSION  the shared library            (component runtime)
#   libclscrypt-dev       headers, static library, CMake and pkg-config files (dev)
#   clscrypt              the command-line tool and its man page              (tool)

set(CPACK_PACKAGE_NAME clscrypt)
set(CPACK_PACKAGE_VENDOR "clscrypt developers")
set(CPACK_PACKAGE_CONTACT "clscrypt developers <clscrypt@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL runtime dev tool)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/clscrypt")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libclscrypt${CLSCRYPT_SOVERSION})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Reads and writes data in the message layout of a legacy Windows
 program, bit for bit: byte arrays, strings, files and hexadecimal text.")
# The package's own shlibs file, so packages built against it depend on it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libclscrypt-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libclscrypt${CLSCRYPT_SOVERSION} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "Development files: C++20 headers, the C interface, the static
 library, the CMake package (find_package(clscrypt)) and the pkg-config file.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME clscrypt)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "The command-line tool: encrypts, decrypts and re-keys files in the
 legacy format, crash-safe, hashes files and text with SHA-256 and converts hexadecimal text.")

# The license: CPack's own field, and in every package the file Debian looks
# for, /usr/share/doc/PACKAGE/copyright, in Debian's machine-readable form
# (where MIT is called "Expat"). The rules belong to the packages'
# components but stay out of a plain `cmake --install`, which installs no
# Debian files.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE clscrypt_license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" clscrypt_holder "${clscrypt_license}")
set(clscrypt_holder "${CMAKE_MATCH_1}")
string(STRIP "${clscrypt_license}" clscrypt_license)
string(REPLACE "\n\n" "\n.\n" clscrypt_license "${clscrypt_license}")
string(REPLACE "\n" "\n " clscrypt_license " ${clscrypt_license}")
file(WRITE ${PROJECT_BINARY_DIR}/debian/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: clscrypt
Source: ${CPACK_DEBIAN_PACKAGE_HOMEPAGE}

Files: *
Copyright: ${clscrypt_holder}
License: Expat
${clscrypt_license}
")
set(clscrypt_packaged_components dev ${CPACK_DEBIAN_DEV_PACKAGE_NAME})
if(clscrypt_default_kind STREQUAL "SHARED_LIBRARY" OR TARGET clscrypt_shared)
    list(APPEND clscrypt_packaged_components runtime ${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME})
endif()
if(TARGET clscrypt_tool)
    list(APPEND clscrypt_packaged_components tool ${CPACK_DEBIAN_TOOL_PACKAGE_NAME})
endif()
while(clscrypt_packaged_components)
    list(POP_FRONT clscrypt_packaged_components component package)
    install(FILES ${PROJECT_BINARY_DIR}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
        COMPONENT ${component} EXCLUDE_FROM_ALL)
endwhile()

include(CPack)
