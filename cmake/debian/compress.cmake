# SPDX-License-Identifier: ISC
# Run by CPack on its staging folder before each package is packed: manual
# pages and the packaging changelog are kept compressed, the way Debian's
# tools read them; a page that is a symbolic link points at its target's
# compressed file instead.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER files INCLUDE REGEX "/share/(man/man[^/]+/[^/]+|doc/[^/]+/changelog\\.Debian)$")
list(FILTER files EXCLUDE REGEX "\\.gz$")
foreach(file IN LISTS files)
  if(IS_SYMLINK "${file}")
    file(READ_SYMLINK "${file}" target)
    file(REMOVE "${file}")
    file(CREATE_LINK "${target}.gz" "${file}.gz" SYMBOLIC)
  else()
    execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "gzip ${file}: ${failed}")
    endif()
  endif()
endforeach()
