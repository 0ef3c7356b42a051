# SPDX-License-Identifier: ISC
# 64-bit RISC-V Linux (RV64GC, double-precision floating point), built with
# clang and run under qemu-riscv64-static.
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(TOOLS_CROSS_TRIPLE riscv64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-clang.cmake)
