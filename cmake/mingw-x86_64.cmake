# Toolchain for the x64 kernel image: Debian's g++-mingw-w64-x86-64.
set(TESSACOM_MINGW_TARGET x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
