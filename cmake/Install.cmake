# SPDX-License-Identifier: ISC
# The libraries, built and installed for other projects. Each one is compiled
# once, position independent and with only its public header's declarations
# visible, and linked twice from those objects:
#
#   target NAME         the static archive libsmalltools-NAME.a, which the
#                       project's own programs and tests link;
#   target NAME_shared  the shared object libsmalltools-NAME.so.1.0.0, SONAME
#                       libsmalltools-NAME.so.1.
#
# Installed with its header folder, the pair is smalltools::NAME (the shared
# object) and smalltools::NAME_static (the archive) in the CMake package
# `smalltools`, and the pkg-config module smalltools-NAME (-lsmalltools-NAME
# finds either, as the linker is told). The bare names lwp, pipeline, slurp
# and tools are too generic for a system's library folder: another vendor's
# files of those names would shadow ours there, or ours theirs. The CMake
# package finds everything relative to where it is installed; the pkg-config
# files name the prefix given at install time (`cmake --install --prefix
# DIR`, /usr in the Debian packages), so that pkg-config prints plain paths.
#
# Install components: `NAME_runtime` is library NAME's shared object, what a
# program linked against it needs to run; `development` what building against
# the libraries takes (headers, archives, the unversioned .so links, metadata,
# library pages); whatever else installs without naming a component is part
# of `programs`.

set(TOOLS_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/smalltools)

# tools_add_library(NAME DESCRIPTION text SOURCES src... HEADERS header...)
# HEADERS are below the folder's include/, as the callers include them.
function(tools_add_library name)
  cmake_parse_arguments(L "" "DESCRIPTION" "SOURCES;HEADERS" ${ARGN})
  add_library(${name}_objects OBJECT ${L_SOURCES})
  target_include_directories(${name}_objects PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/include)
  # The archive may go into a caller's shared object too, which needs
  # position-independent code; what the header does not declare stays
  # inside (the header exports its declarations itself).
  set_target_properties(${name}_objects PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)

  add_library(${name} STATIC $<TARGET_OBJECTS:${name}_objects>)
  add_library(${name}_shared SHARED $<TARGET_OBJECTS:${name}_objects>)
  foreach(target ${name} ${name}_shared)
    target_sources(${target} PUBLIC FILE_SET HEADERS BASE_DIRS include FILES ${L_HEADERS})
    # For projects on a CMake too old to read the header set.
    target_include_directories(${target} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  endforeach()
  set_target_properties(${name} PROPERTIES OUTPUT_NAME smalltools-${name} EXPORT_NAME ${name}_static)
  set_target_properties(${name}_shared PROPERTIES
    OUTPUT_NAME smalltools-${name}
    EXPORT_NAME ${name}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  # The objects are C++, so the C++ compiler links the shared object and
  # offers its runtime, which they do not use: record only what they need.
  target_link_options(${name}_shared PRIVATE LINKER:--as-needed)

  install(TARGETS ${name} ${name}_shared EXPORT smalltools-targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${name}_runtime NAMELINK_COMPONENT development
    FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
  set_property(GLOBAL APPEND PROPERTY TOOLS_LIBRARIES ${name})

  set(PC_NAME smalltools-${name})
  set(PC_DESCRIPTION ${L_DESCRIPTION})
  set(PC_PREFIX @PC_PREFIX@) # known at install time
  foreach(dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
      set(PC_${dir} ${CMAKE_INSTALL_${dir}})
    else()
      set(PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
  endforeach()
  set(pc ${CMAKE_BINARY_DIR}/pkgconfig/${PC_NAME}.pc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/library.pc.in ${pc}.in @ONLY)
  install(CODE "
    get_filename_component(PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
    configure_file(\"${pc}.in\" \"${pc}\" @ONLY)
    " COMPONENT development)
  install(FILES ${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
endfunction()

# tools_link_library(PROGRAM NAME): the program links library NAME's static
# archive, or with BUILD_SHARED_LIBS its shared object, which the installed
# program then finds beside itself: in the library folder of the prefix it
# was installed to (a RUNPATH relative to the program).
function(tools_link_library program name)
  if(NOT BUILD_SHARED_LIBS)
    target_link_libraries(${program} PRIVATE ${name})
    return()
  endif()
  target_link_libraries(${program} PRIVATE ${name}_shared)
  # The programs' package depends on the library's.
  set_property(GLOBAL APPEND PROPERTY TOOLS_LINKED_SHARED ${name})
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(libdir ${CMAKE_INSTALL_LIBDIR})
  else()
    file(RELATIVE_PATH libdir /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
    set(libdir "$ORIGIN/${libdir}")
  endif()
  set_target_properties(${program} PROPERTIES INSTALL_RPATH "${libdir}")
endfunction()

# The CMake package, once every library is in the export set.
function(tools_install_package)
  get_property(TOOLS_LIBRARIES GLOBAL PROPERTY TOOLS_LIBRARIES)
  install(EXPORT smalltools-targets NAMESPACE smalltools:: DESTINATION ${TOOLS_PACKAGE_DIR}
    COMPONENT development)
  include(CMakePackageConfigHelpers)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/smalltools-config.cmake.in
    ${CMAKE_BINARY_DIR}/cmake/smalltools-config.cmake @ONLY)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/smalltools-config-version.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/cmake/smalltools-config.cmake
                ${CMAKE_BINARY_DIR}/cmake/smalltools-config-version.cmake
    DESTINATION ${TOOLS_PACKAGE_DIR} COMPONENT development)
  # The libraries' version, for programs to test: <smalltools/version.h>.
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.h.in
    ${CMAKE_BINARY_DIR}/include/smalltools/version.h @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/include/smalltools/version.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/smalltools COMPONENT development)
endfunction()
