# Windows builds cross-compiled with MinGW-w64; the including toolchain file
# sets VARNEL_MINGW_TARGET (the compiler's target triplet) and
# CMAKE_SYSTEM_PROCESSOR.
# The posix thread model throughout: the unit suite's mock driver needs
# std::mutex, which this GCC's win32 model lacks. Everything links the
# runtime statically, so no MinGW DLL is needed at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VARNEL_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNEL_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNEL_MINGW_TARGET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VARNEL_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Headers come from the build host: p11-kit's pkcs11.h and the JDK's jni.h
# are the same for every target.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
