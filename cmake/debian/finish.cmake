# SPDX-License-Identifier: ISC
# Run by CPack on each package it has built, to finish it as Debian's own
# tools would (CMake 3.25's CPack can do none of this itself):
#
#  - the debug information of every program and shared object goes into a
#    PACKAGE-dbgsym package, under /usr/lib/debug/.build-id/, where debuggers
#    look for it; the files keep a link to it and lose their symbols and the
#    compiler's notes; the static archives lose their debug information;
#  - the maintainer scripts CPack writes around ldconfig go: the trigger the
#    library packages carry runs it, once, and removing a package removes it
#    whole;
#  - the library packages and the -dev package are Multi-Arch: same.
#
# Each package is unpacked and packed again with dpkg-deb, which gives every
# file the time SOURCE_DATE_EPOCH.

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed ERROR_VARIABLE error)
  if(failed)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "${command}: ${failed}\n${error}")
  endif()
endfunction()

# The fields a package's control file ends with: its size once installed
# (KiB, counted as dpkg-gencontrol does) and its files' checksums.
function(seal root)
  file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE ${root} ${root}/*)
  list(FILTER entries EXCLUDE REGEX "^DEBIAN(/|$)")
  list(SORT entries)
  set(kib 0)
  set(sums "")
  foreach(entry IN LISTS entries)
    if(IS_SYMLINK ${root}/${entry} OR IS_DIRECTORY ${root}/${entry})
      math(EXPR kib "${kib} + 1")
    else()
      file(SIZE ${root}/${entry} size)
      math(EXPR kib "${kib} + (${size} + 1023) / 1024")
      file(MD5 ${root}/${entry} md5)
      string(APPEND sums "${md5}  ${entry}\n")
    endif()
  endforeach()
  file(WRITE ${root}/DEBIAN/md5sums "${sums}")
  file(READ ${root}/DEBIAN/control control)
  string(REGEX REPLACE "\nInstalled-Size: [0-9]+" "" control "${control}")
  string(STRIP "${control}" control)
  file(WRITE ${root}/DEBIAN/control "${control}\nInstalled-Size: ${kib}\n")
endfunction()

function(pack root deb)
  seal(${root})
  run(dpkg-deb --root-owner-group -Zxz --build ${root} ${deb})
endfunction()

set(debs ${CPACK_PACKAGE_FILES})
list(FILTER debs INCLUDE REGEX "\\.deb$")
foreach(deb IN LISTS debs)
  get_filename_component(work ${deb} DIRECTORY)
  set(root ${work}/finish/root)
  set(debug ${work}/finish/debug)
  file(REMOVE_RECURSE ${work}/finish)
  file(MAKE_DIRECTORY ${work}/finish)
  run(dpkg-deb -R ${deb} ${root})
  file(READ ${root}/DEBIAN/control control)
  string(REGEX MATCH "Package: ([^\n]+)" _ "${control}")
  set(package ${CMAKE_MATCH_1})
  string(REGEX MATCH "Version: ([^\n]+)" _ "${control}")
  set(version ${CMAKE_MATCH_1})
  string(REGEX MATCH "Architecture: ([^\n]+)" _ "${control}")
  set(arch ${CMAKE_MATCH_1})
  set(multiarch "")
  if(package IN_LIST CPACK_TOOLS_MULTIARCH_SAME)
    set(multiarch "Multi-Arch: same\n")
  endif()
  file(REMOVE ${root}/DEBIAN/postinst ${root}/DEBIAN/postrm)

  file(GLOB_RECURSE files LIST_DIRECTORIES false ${root}/usr/*)
  set(build_ids "")
  foreach(file IN LISTS files)
    if(IS_SYMLINK ${file})
      continue()
    endif()
    if(file MATCHES "\\.a$")
      run(${CPACK_TOOLS_STRIP} --strip-debug --remove-section=.comment --remove-section=.note
        --enable-deterministic-archives ${file})
      continue()
    endif()
    file(READ ${file} magic LIMIT 4 HEX)
    if(NOT magic STREQUAL "7f454c46")
      continue()
    endif()
    execute_process(COMMAND ${CPACK_TOOLS_READELF} -n ${file} OUTPUT_VARIABLE notes)
    if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
      message(FATAL_ERROR "${file} has no build ID")
    endif()
    list(APPEND build_ids ${CMAKE_MATCH_1}${CMAKE_MATCH_2})
    set(split ${debug}/usr/lib/debug/.build-id/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug)
    get_filename_component(dir ${split} DIRECTORY)
    file(MAKE_DIRECTORY ${dir})
    run(${CPACK_TOOLS_OBJCOPY} --only-keep-debug --compress-debug-sections ${file} ${split})
    file(CHMOD ${split} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    set(unneeded "")
    if(file MATCHES "\\.so(\\.[0-9.]+)?$")
      set(unneeded --strip-unneeded)
    endif()
    run(${CPACK_TOOLS_STRIP} --remove-section=.comment --remove-section=.note ${unneeded} ${file})
    run(${CPACK_TOOLS_OBJCOPY} --add-gnu-debuglink=${split} ${file})
  endforeach()

  string(STRIP "${control}" control)
  file(WRITE ${root}/DEBIAN/control "${control}\n${multiarch}")
  pack(${root} ${deb})

  if(build_ids)
    list(SORT build_ids)
    list(JOIN build_ids " " build_ids)
    file(MAKE_DIRECTORY ${debug}/DEBIAN ${debug}/usr/share/doc)
    file(CREATE_LINK ${package} ${debug}/usr/share/doc/${package}-dbgsym SYMBOLIC)
    string(REGEX MATCH "Maintainer: [^\n]+\n" maintainer "${control}")
    string(REGEX MATCH "Source: [^\n]+\n" source "${control}")
    file(WRITE ${debug}/DEBIAN/control "Package: ${package}-dbgsym
${source}Version: ${version}
Auto-Built-Package: debug-symbols
Architecture: ${arch}
${maintainer}Depends: ${package} (= ${version})
Section: debug
Priority: optional
${multiarch}Description: debug symbols for ${package}
Build-Ids: ${build_ids}
")
    # CPack copies only the packages it built itself to the build folder.
    string(REPLACE "${package}_" "${package}-dbgsym_" dbgsym ${deb})
    get_filename_component(dbgsym ${dbgsym} NAME)
    pack(${debug} ${CPACK_PACKAGE_DIRECTORY}/${dbgsym})
    message(STATUS "- package: ${CPACK_PACKAGE_DIRECTORY}/${dbgsym} generated.")
  endif()
  file(REMOVE_RECURSE ${work}/finish)
endforeach()
