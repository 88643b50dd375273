# The ARM Linux builds with Debian's cross GCC, which tools/arm.sh unpacks
# into build/cross-<arch>; included by linux-aarch64.cmake and
# linux-armhf.cmake after they set VARNEL_CROSS_ARCH and VARNEL_CROSS_TRIPLE.
set(CMAKE_SYSTEM_NAME Linux)
set(VARNEL_CROSS_DIR "${CMAKE_CURRENT_LIST_DIR}/../build/cross-${VARNEL_CROSS_ARCH}/usr")
set(CMAKE_C_COMPILER "${VARNEL_CROSS_DIR}/bin/${VARNEL_CROSS_TRIPLE}-gcc-12")
set(CMAKE_CXX_COMPILER "${VARNEL_CROSS_DIR}/bin/${VARNEL_CROSS_TRIPLE}-g++-12")
set(CMAKE_LIBRARY_ARCHITECTURE ${VARNEL_CROSS_TRIPLE})
# Libraries only from the target's; headers also from the host's p11-kit and
# JDK, which are the same on every architecture.
set(CMAKE_FIND_ROOT_PATH "${VARNEL_CROSS_DIR}/${VARNEL_CROSS_TRIPLE}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
