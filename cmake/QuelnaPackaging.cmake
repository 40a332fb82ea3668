# Debian packages made from a build tree with `cpack -G DEB` (scripts/check-packages builds and
# checks them). Each install() names its component, and each component is one package:
#   runtime  libquelnaN     the shared library (N: its soname's version)
#   dev      libquelna-dev  headers, quelna.pc, the CMake package, libquelna.a when built
#   client   quelna-client  the command-line client and its man page
# The key-exchange programs (component "programs") are not packaged. Packages install under
# /usr whatever the build's own prefix; configure with -DCMAKE_INSTALL_PREFIX=/usr to get the
# multiarch library folder (/usr/lib/<triplet>) rather than /usr/lib.

set(CPACK_PACKAGE_NAME quelna)
set(CPACK_PACKAGE_VENDOR "libquelna developers")
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "libquelna developers <libquelna@invalid>")
endif()
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL runtime dev)
if(QUELNA_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL client)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Component dependencies become exact-version Depends between the packages.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# Run-time Depends come from the binaries' own needs; the library being packaged is found in
# the build tree, and the client's need of it is the component dependency below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libquelna${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file for packages built against it (only this package holds a shared library).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "RADIUS client library over UDP, TCP, TLS and DTLS
Sends Access, Accounting, Status-Server and CoA/Disconnect requests to the servers of a realm
and returns verified, decoded responses; encodes and decodes standard, tagged and
vendor-specific attributes. This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libquelna-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# quelna.pc names these as Requires.private, and the CMake package looks them up for the
# static library.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libssl-dev (>= 3.0), libevent-dev, libconfuse-dev, pkg-config | pkgconf")
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "RADIUS client library over UDP, TCP, TLS and DTLS (development files)
Headers for C and C++, the pkg-config file quelna.pc, the CMake package (find_package(quelna),
targets quelna::quelna and quelna::quelna_static) and the static library.")

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME quelna-client)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION net)
set(CPACK_COMPONENT_CLIENT_DEPENDS runtime)
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
  "RADIUS command-line client
quelna-client sends Access-Request (PAP, CHAP), Accounting-Request, Status-Server and
CoA/Disconnect requests over UDP, TCP, TLS or DTLS and prints the decoded answer; its load
mode keeps many requests in flight.")

include(CPack)
