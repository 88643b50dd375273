# 64-bit ARM Linux (aarch64) build on an x86_64 host.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VARNEL_CROSS_ARCH linux-aarch64)
set(VARNEL_CROSS_TRIPLE aarch64-linux-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/linux-arm.cmake")
