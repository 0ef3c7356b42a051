# SPDX-License-Identifier: ISC
# Debian packages of an installed build: `cpack -G DEB` in the build folder
# (a build type with debug information, such as the default RelWithDebInfo:
# it goes into the -dbgsym packages). One package per install component:
#
#   smalltools                the programs and their pages (component programs)
#   libsmalltools-NAME1       library NAME's shared object, by its SONAME, for
#                             NAME in lwp, pipeline, slurp (component NAME_runtime)
#   libsmalltools-dev         headers, archives, .so links, pkg-config and CMake
#                             files, the library pages (component development)
#
# and a -dbgsym package beside each package of programs or shared objects,
# with their debug information. Every library package has the symbols file
# of its library (cmake/debian/PACKAGE.symbols), and dpkg's trigger rebuilds
# the dynamic linker's cache. The library packages and the -dev package are
# Multi-Arch: same. What CPack cannot do is done to each package once built
# (debian/finish.cmake).
#
# The packages are reproducible: their files' times are SOURCE_DATE_EPOCH,
# taken from the last commit when the environment does not set it.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME smalltools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description below begins with its own synopsis; a common
# summary would be put before it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_CONTACT "Seed 57069e29 maintainers <maintainers@users.noreply.c-seed-57069e29.example>"
  CACHE STRING "Maintainer named in the Debian packages")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

get_property(libraries GLOBAL PROPERTY TOOLS_LIBRARIES)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE smalltools)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The files are stripped once packed, their debug information kept in the
# -dbgsym packages (debian/finish.cmake), with the build's own tools.
set(CPACK_TOOLS_STRIP ${CMAKE_STRIP})
set(CPACK_TOOLS_OBJCOPY ${CMAKE_OBJCOPY})
set(CPACK_TOOLS_READELF ${CMAKE_READELF})

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME smalltools)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libsmalltools-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(runtime_packages)
foreach(name IN LISTS libraries)
  string(TOUPPER ${name}_runtime upper)
  set(package libsmalltools-${name}${PROJECT_VERSION_MAJOR})
  list(APPEND CPACK_COMPONENTS_ALL ${name}_runtime)
  list(APPEND runtime_packages ${package})
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION libs)
  # CPack takes the control files by their names.
  set(control ${CMAKE_BINARY_DIR}/debian/${package})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${package}.symbols ${control}/symbols COPYONLY)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/triggers ${control}/triggers COPYONLY)
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA ${control}/symbols ${control}/triggers)
endforeach()
set(CPACK_TOOLS_MULTIARCH_SAME ${runtime_packages} libsmalltools-dev)
# Programs linked against the shared objects (BUILD_SHARED_LIBS) need the
# libraries' packages. dpkg-shlibdeps looks for the objects the programs'
# RUNPATH names in the programs' own package; they are in the library
# packages' staging folders, beside it.
get_property(linked GLOBAL PROPERTY TOOLS_LINKED_SHARED)
list(REMOVE_DUPLICATES linked)
set(programs_depend)
foreach(name IN LISTS linked)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ../${name}_runtime${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
  list(APPEND programs_depend ${name}_runtime)
endforeach()

# Each package's documentation folder carries the copyright notice and the
# packaging changelog, compressed (with the manual pages) just before the
# files are packed.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog.Debian @ONLY)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.Debian
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
# What lintian reports that is not to be mended, with the reasons.
set(overrides_pipeline_runtime "# Only a child it has started and that could not run its command leaves
# through _exit, as a child of vfork must; the caller's process never ends
# in the library.
@package@: exit-in-shared-library
")
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  string(CONFIGURE "# Not uploaded to Debian: there is no bug for the first upload to close.
@package@: initial-upload-closes-no-bugs
${overrides_${component}}" overrides @ONLY)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/debian/${package}/overrides CONTENT "${overrides}")
  install(FILES ${CMAKE_BINARY_DIR}/debian/${package}/overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/compress.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/finish.cmake)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/debian/cpack-config.cmake)
set(CPACK_TOOLS_SOURCE_DIR ${PROJECT_SOURCE_DIR})

# `cpack --config CPackSourceConfig.cmake` (the package_source target): the
# tracked sources at the top of smalltools-VERSION.tar.xz, without the
# repository or any build folder.
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME smalltools-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/\\\\.git$" "/\\\\.cache/" "/build[^/]*/"
  "${CMAKE_BINARY_DIR}/")

include(CPack)

cpack_add_component(programs DISPLAY_NAME "Programs" DEPENDS ${programs_depend}
  DESCRIPTION "Small Unix tools for process control, terminals and stream input
Programs that schedule commands in turns, run an interactive shell's top
level, join two commands through a pipe by hand, show bytes as binary
digits, keep an integer stack at a console and run user-level threads.")
set(lwp_summary "user-level threads")
set(lwp_text "Cooperative user-level threads with a C interface: each runs a function
on a stack of its own until it yields or ends.")
set(pipeline_summary "reading, parsing and running command pipelines")
set(pipeline_text "Reads command lines of any length, cracks them into pipelines of
commands with redirections, and runs them joined by pipes, with a C
interface.")
set(slurp_summary "reading lines of any length")
set(slurp_text "myline reads one whole line of any length from a stream into a buffer
that grows as needed, with the calling shape of getline and a C interface.")
foreach(name IN LISTS libraries)
  cpack_add_component(${name}_runtime DISPLAY_NAME "libsmalltools-${name}"
    DESCRIPTION "Shared library for ${${name}_summary}\n${${name}_text}")
endforeach()
list(TRANSFORM libraries APPEND _runtime OUTPUT_VARIABLE runtimes)
cpack_add_component(development DISPLAY_NAME "Development files" DEPENDS ${runtimes}
  DESCRIPTION "Development files for the smalltools libraries
C headers, static archives, the links to the shared objects, pkg-config
modules (smalltools-lwp, smalltools-pipeline, smalltools-slurp), the CMake
package smalltools and the libraries' manual pages.")
