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

include(CPack)
