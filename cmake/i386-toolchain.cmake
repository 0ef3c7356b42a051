# SPDX-License-Identifier: ISC
# 32-bit x86 with the host's own compilers (Debian's g++-multilib). The flag
# goes into every kind of compile and link, so shared objects and preloaded
# modules are built for the same processor as the programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

foreach(lang C CXX ASM)
  set(CMAKE_${lang}_FLAGS_INIT -m32)
endforeach()
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT -m32)
endforeach()
