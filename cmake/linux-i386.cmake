# Toolchain for the 32-bit host, which runs the kernel image tessacom.sys: the system compiler
# with -m32 (Debian's g++-multilib) and the i386 libraries (libgtest-dev:i386). Image code keeps
# only the 4-byte stack alignment the kernel promises; -mstackrealign lets every host function
# that needs more realign its own frame.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_FLAGS_INIT "-m32 -mstackrealign")
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
