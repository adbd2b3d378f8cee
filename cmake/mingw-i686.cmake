# Toolchain for the kernel home: Debian's g++-mingw-w64-i686.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(TESSACOM_MINGW_ROOT /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH ${TESSACOM_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The image links with -nostdlib; CMake's compiler check would try a console program.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
