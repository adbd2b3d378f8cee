# Toolchain for the i386 kernel image: Debian's g++-mingw-w64-i686.
set(TESSACOM_MINGW_TARGET i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
