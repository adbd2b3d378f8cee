# What both kernel images' toolchains share; the including file sets TESSACOM_MINGW_TARGET
# (the mingw-w64 triple's processor: i686 or x86_64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TESSACOM_MINGW_TARGET})
set(CMAKE_CXX_COMPILER ${TESSACOM_MINGW_TARGET}-w64-mingw32-g++)
set(CMAKE_RC_COMPILER ${TESSACOM_MINGW_TARGET}-w64-mingw32-windres)
set(TESSACOM_MINGW_ROOT /usr/${TESSACOM_MINGW_TARGET}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH ${TESSACOM_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The image links with -nostdlib; CMake's compiler check would try a console program.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
