# SPDX-License-Identifier: ISC
# Shared by the cross toolchain files: clang for TOOLS_CROSS_TRIPLE over
# Debian's cross sysroot packages (libc6-dev-<arch>-cross, libstdc++ and
# libgcc of the same kind, binutils-<triple>), which unlike Debian's cross
# gcc packages can be installed beside gcc-multilib. Programs, tests
# included, run under the user-mode emulator with the sysroot as its prefix.
set(CMAKE_SYSTEM_NAME Linux)

foreach(lang C CXX ASM)
  set(CMAKE_${lang}_COMPILER_TARGET ${TOOLS_CROSS_TRIPLE})
endforeach()
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLS_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L gives the test programs their sysroot; the programs they start reach
# the emulator through binfmt_misc, which passes no options, and find it in
# QEMU_LD_PREFIX instead.
set(CMAKE_CROSSCOMPILING_EMULATOR
  /usr/bin/env QEMU_LD_PREFIX=/usr/${TOOLS_CROSS_TRIPLE}
  /usr/bin/qemu-${CMAKE_SYSTEM_PROCESSOR}-static -L /usr/${TOOLS_CROSS_TRIPLE})
