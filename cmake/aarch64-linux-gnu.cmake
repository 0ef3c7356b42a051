# SPDX-License-Identifier: ISC
# 64-bit ARM Linux, built with clang and run under qemu-aarch64-static.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TOOLS_CROSS_TRIPLE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-clang.cmake)
