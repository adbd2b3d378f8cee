# The kernel home: tessacom.sys from every driver source, native subsystem, entry DriverEntry,
# importing only from ntoskrnl.exe and HAL.dll. No C runtime, exceptions or RTTI. The i386
# image (nt preset) is PE32; the x64 image (nt-x64 preset) is PE32+ and keeps the unwind
# tables (.pdata/.xdata) that the x64 kernel needs to walk its stack through the driver.
set(TESSACOM_DDK_INCLUDE "${TESSACOM_MINGW_ROOT}/include/ddk")

add_executable(tessacom_sys ${TESSACOM_DRIVER_SOURCES} ${TESSACOM_BOUNDARY_CHECK})
set_target_properties(tessacom_sys PROPERTIES OUTPUT_NAME tessacom SUFFIX ".sys"
  CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
target_include_directories(tessacom_sys PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform
  ${TESSACOM_DDK_INCLUDE})
target_compile_definitions(tessacom_sys PRIVATE TESSACOM_HOME_NT
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
target_compile_options(tessacom_sys PRIVATE -ffreestanding -fno-exceptions -fno-rtti
  -fno-threadsafe-statics -Wall -Wextra -Werror -Wno-missing-field-initializers
  -Wno-unknown-pragmas -O2)
target_link_options(tessacom_sys PRIVATE -shared -nostdlib -Wl,--subsystem,native
  -Wl,--exclude-all-symbols)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  # GCC 12 takes the DDK's inline KeGetCurrentThread (a read at gs:0x188) for an access
  # through a null pointer and warns of array bounds; the page-size parameter tells it that
  # low addresses are not special here.
  target_compile_options(tessacom_sys PRIVATE --param=min-pagesize=0)
  target_link_options(tessacom_sys PRIVATE -Wl,--entry,DriverEntry
    -Wl,--image-base,0x140000000)
  target_link_libraries(tessacom_sys PRIVATE ntoskrnl hal)
else()
  target_compile_options(tessacom_sys PRIVATE -fno-asynchronous-unwind-tables)
  target_link_options(tessacom_sys PRIVATE -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000)
  # libgcc for 64-bit division on i686.
  target_link_libraries(tessacom_sys PRIVATE ntoskrnl hal gcc)
endif()
