# SPDX-License-Identifier: ISC
# Debian packages of an installed build: `cpack -G DEB` in the build folder
# (the build type should keep the programs' symbols out, or the files are
# stripped as they are packed: both happen here). One package per install
# component:
#
#   smalltools         the programs and their pages   (component programs)
#   libsmalltools1     the shared objects, by SONAME  (component runtime)
#   libsmalltools-dev  headers, archives, .so links, pkg-config and CMake
#                      files, the library pages       (component development)
#
# The runtime package is named after the SONAMEs' common version, the way a
# distribution names a package with one library; its three libraries share
# it because they are released together.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME smalltools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description below begins with its own synopsis; a common
# summary would be put before it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_CONTACT "Seed 57069e29 maintainers <maintainers@users.noreply.c-seed-57069e29.example>"
  CACHE STRING "Maintainer named in the Debian packages")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE smalltools)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME smalltools)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libsmalltools${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The dynamic linker's cache is rebuilt through dpkg's trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libsmalltools-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# Programs linked against the shared objects (BUILD_SHARED_LIBS) need the
# runtime package. dpkg-shlibdeps looks for the objects the programs' RUNPATH
# names in the programs' own package; they are in the runtime package's
# staging folder, beside it.
if(BUILD_SHARED_LIBS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ../runtime${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
  set(programs_depend DEPENDS runtime)
endif()

# Each package's documentation folder carries the copyright notice and the
# packaging changelog, compressed (with the manual pages) just before the
# files are packed.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog.Debian @ONLY)
foreach(component programs runtime development)
  string(TOUPPER ${component} upper)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.Debian
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/compress.cmake)

include(CPack)

cpack_add_component(programs DISPLAY_NAME "Programs" ${programs_depend}
  DESCRIPTION "Small Unix tools for process control, terminals and stream input
Programs that schedule commands in turns, run an interactive shell's top
level, join two commands through a pipe by hand, show bytes as binary
digits, keep an integer stack at a console and run user-level threads.")
cpack_add_component(runtime DISPLAY_NAME "Shared libraries"
  DESCRIPTION "Shared libraries for user-level threads, pipelines and line reading
Cooperative user-level threads (libsmalltools-lwp), reading, parsing and
running command pipelines (libsmalltools-pipeline) and reading lines of any
length (libsmalltools-slurp), with C interfaces.")
cpack_add_component(development DISPLAY_NAME "Development files" DEPENDS runtime
  DESCRIPTION "Development files for the smalltools libraries
C headers, static archives, the links to the shared objects, pkg-config
modules (smalltools-lwp, smalltools-pipeline, smalltools-slurp), the CMake
package smalltools and the libraries' manual pages.")
