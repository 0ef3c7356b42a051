# SPDX-License-Identifier: ISC
# What every build but Debug adds to the compiler's and linker's flags: the
# hardening a distribution asks of its packages, and file names that do not
# depend on where the tree was built. Included before any target is made.
#
# Hardening: a stack protector on functions with arrays or taken addresses,
# probes that keep a large stack frame from jumping over a guard page, the
# C library's checked variants of its calls where a buffer size is known,
# position-independent programs, and relocations made read-only after they
# are resolved at start. A flag whose kind the build's own flags (a
# distribution's, through dpkg-buildflags) already set is left to them, and
# a flag the compiler does not know is left out. Sanitized builds check more
# than this and go without: the checked calls would bypass their checks.
#
# Control-flow protection is not asked for: the thread library's context
# switches, written in assembly, neither mark their entry points nor keep a
# shadow stack per thread, so a program claiming it would crash once a
# system enforced it. Their objects carry no such claim, which keeps the
# claim off the library and the programs linked with it even when a
# distribution's flags turn the protection on for the C++ sources.
#
# Reproducible paths: the source and build folders are recorded as "." in
# the debug information, in __FILE__ and in the archives' objects, so two
# builds of one commit in different folders give identical files (gdb finds
# the sources when started in the source folder).
include(CheckCCompilerFlag)
include(CheckCXXCompilerFlag)

if("${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "-fsanitize=")
  return()
endif()

set(release $<NOT:$<CONFIG:Debug>>)
set(c_cxx $<COMPILE_LANGUAGE:C,CXX>)

# Pairs: a pattern for the flags of one kind, the flag wanted.
set(hardening
  "-f(no-)?stack-protector" -fstack-protector-strong
  "-f(no-)?stack-clash-protection" -fstack-clash-protection
  "-[DU] *_FORTIFY_SOURCE" -D_FORTIFY_SOURCE=2)
while(hardening)
  list(POP_FRONT hardening kind flag)
  if("${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "${kind}")
    continue()
  endif()
  # clang only warns of a flag it ignores for the target (stack clash
  # protection on 64-bit ARM and RISC-V).
  string(MAKE_C_IDENTIFIER "TOOLS_FLAG${flag}" known)
  set(CMAKE_REQUIRED_FLAGS -Werror)
  check_c_compiler_flag(${flag} ${known}_C)
  check_cxx_compiler_flag(${flag} ${known}_CXX)
  unset(CMAKE_REQUIRED_FLAGS)
  if(${known}_C AND ${known}_CXX)
    add_compile_options($<$<AND:${release},${c_cxx}>:${flag}>)
  endif()
endwhile()

# Programs are position independent; the objects that go into shared
# objects or archives are already (POSITION_INDEPENDENT_CODE), and so are
# those of shared objects and modules.
set(type $<TARGET_PROPERTY:TYPE>)
set(pic_already $<OR:$<BOOL:$<TARGET_PROPERTY:POSITION_INDEPENDENT_CODE>>,$<STREQUAL:${type},SHARED_LIBRARY>,$<STREQUAL:${type},MODULE_LIBRARY>>)
add_compile_options($<$<AND:${release},${c_cxx},$<NOT:${pic_already}>>:-fPIE>)
add_link_options($<$<AND:${release},$<STREQUAL:${type},EXECUTABLE>>:-pie>
  $<${release}:LINKER:-z,relro,-z,now>)

foreach(dir ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  add_compile_options($<${release}:-ffile-prefix-map=${dir}=.>)
endforeach()
