# Debian packages of the build, for the architecture it targets:
#
#   cpack -G DEB                       (in the build directory)
#
#   libtolvane2     component runtime: libtolvane.so.2 and, when built, the
#                   stand-in services library libtolvane_services.so.1
#   libtolvane-dev  component dev: headers, library links, CMake package and
#                   tolvane.pc
#   tolvane-getlog  component tools: the operator command, its manual page
#                   and the sudoers drop-in (installed, not enabled)
#
# Each package's share/doc/<package> holds a changelog, and the copyright
# file once packaging/copyright exists; tolvane-getlog's also holds the README
# and the sudoers drop-in. These documents are only packaged, not installed
# by a plain cmake --install. Configure with -DCMAKE_INSTALL_PREFIX=/usr to
# get Debian's multiarch library directory.

set(TOLVANE_PACKAGE_MAINTAINER
    "tolvane maintainers <maintainers@users.noreply.c-seed-aea81ee4.example>"
    CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TOLVANE_PACKAGE_MAINTAINER}")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)  # "libtolvane2 (= VERSION)"
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# Each package's description: the project's description as its synopsis,
# this text and what the package holds.
set(tolvane_about "tolvane writes every gzip archive of one of the device's logs (audit,
brev, snmpd, misc), oldest first across the wrap of their sequence numbers,
and then the active log into one file.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtolvane${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "${tolvane_about}
This package holds the shared library, which programs of the device load.")
# What the library runs: /bin/sh, sudo, /bin/gunzip, /bin/cp, /bin/cat and
# /bin/echo. The C and C++ libraries and zlib are added below.
set(tolvane_runtime_depends "sudo, gzip (>= 1.12), coreutils (>= 9.1)")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/triggers
     "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/packaging/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtolvane-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "${tolvane_about}
This package holds the headers, the CMake package (find_package(Tolvane))
and the pkg-config file.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tolvane-getlog)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "${tolvane_about}
This package holds tolvane-getlog, the command for operators at a shell,
with its manual page and the sudoers drop-in that callers other than root
need.")

if(CMAKE_CROSSCOMPILING)
  # CPack would name the build machine's architecture, and dpkg-shlibdeps
  # knows only the build machine's libraries: name the target's from its
  # GNU triplet and state the C and C++ libraries it needs, from the newest
  # symbol versions its binaries use (GLIBC_2.34, GCC_3.5 on armhf,
  # GLIBCXX_3.4.29), and zlib.
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
      OUTPUT_VARIABLE triplet OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND dpkg-architecture -t ${triplet} -qDEB_HOST_ARCH
      OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
      message(WARNING "No Debian architecture for ${triplet}: set "
              "CPACK_DEBIAN_PACKAGE_ARCHITECTURE to package this build")
    endif()
  endif()
  set(tolvane_c_depends "libc6 (>= 2.34), libgcc-s1 (>= 3.5), libstdc++6 (>= 11)")
  string(APPEND tolvane_runtime_depends ", ${tolvane_c_depends}, zlib1g (>= 1:1.2.0)")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${tolvane_c_depends}")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Where dpkg-shlibdeps finds libtolvane.so.2, which tolvane-getlog needs
  # and which is packaged apart from it.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
  # Likewise the device's services library, whose package is the device's
  # business.
  if(NOT TOLVANE_BUILD_SERVICES AND EXISTS "${TOLVANE_SERVICES_LIBRARY}")
    get_filename_component(dir "${TOLVANE_SERVICES_LIBRARY}" DIRECTORY)
    list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${dir})
  endif()
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${tolvane_runtime_depends}")

# Documents of each package.
string(TIMESTAMP TOLVANE_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(packaging/changelog.in packaging/changelog @ONLY)
execute_process(COMMAND gzip -9nkf changelog
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging)
set(tolvane_packages libtolvane${PROJECT_VERSION_MAJOR} libtolvane-dev
    tolvane-getlog)
foreach(component package IN ZIP_LISTS CPACK_COMPONENTS_ALL tolvane_packages)
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${docdir} COMPONENT ${component} EXCLUDE_FROM_ALL)
  if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/copyright)
    install(FILES packaging/copyright
      DESTINATION ${docdir} COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endforeach()
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tolvane-getlog
  COMPONENT tools EXCLUDE_FROM_ALL)
# The README's links lead into doc/.
file(GLOB tolvane_guides ${PROJECT_SOURCE_DIR}/doc/*.md)
install(FILES ${tolvane_guides}
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tolvane-getlog/doc
  COMPONENT tools EXCLUDE_FROM_ALL)
install(FILES packaging/sudoers.d/tolvane
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tolvane-getlog/examples/sudoers.d
  COMPONENT tools EXCLUDE_FROM_ALL)

include(CPack)
