# 32-bit ARM Linux (armhf: ARMv7, hard-float) build on an x86_64 host.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VARNEL_CROSS_ARCH linux-armhf)
set(VARNEL_CROSS_TRIPLE arm-linux-gnueabihf)
include("${CMAKE_CURRENT_LIST_DIR}/linux-arm.cmake")
