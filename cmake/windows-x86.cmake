# 32-bit Windows build cross-compiled with MinGW-w64 (g++-mingw-w64-i686).
set(VARNEL_MINGW_TARGET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
