# 32-bit Windows build cross-compiled with MinGW-w64 (g++-mingw-w64-i686).
# The posix thread model throughout: the unit suite's mock driver needs
# std::mutex, which this GCC's win32 model lacks. Everything links the
# runtime statically, so no MinGW DLL is needed at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Headers come from the build host: p11-kit's pkcs11.h and the JDK's jni.h
# are the same for every target.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
