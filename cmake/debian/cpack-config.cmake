# SPDX-License-Identifier: ISC
# Read by CPack before it builds any package, binary or source.

# The time given to every file is the last commit's, unless the environment
# names one (SOURCE_DATE_EPOCH), so that two builds of one commit give
# identical packages.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_TOOLS_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND epoch)
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  endif()
endif()

# The source package has the sources at its top, not under the prefix the
# binary packages install to.
if(CPACK_SOURCE_INSTALLED_DIRECTORIES)
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
