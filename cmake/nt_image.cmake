# The kernel home: tessacom.sys from every driver source, PE32, native subsystem, entry
# DriverEntry, importing only from ntoskrnl.exe and HAL.dll. No C runtime, exceptions or RTTI.
set(TESSACOM_DDK_INCLUDE "${TESSACOM_MINGW_ROOT}/include/ddk")

add_executable(tessacom_sys ${TESSACOM_DRIVER_SOURCES} ${TESSACOM_BOUNDARY_CHECK})
set_target_properties(tessacom_sys PROPERTIES OUTPUT_NAME tessacom SUFFIX ".sys"
  CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
target_include_directories(tessacom_sys PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform
  ${TESSACOM_DDK_INCLUDE})
target_compile_definitions(tessacom_sys PRIVATE TESSACOM_HOME_NT
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
target_compile_options(tessacom_sys PRIVATE -ffreestanding -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -fno-threadsafe-statics -Wall -Wextra -Werror
  -Wno-missing-field-initializers -Wno-unknown-pragmas -O2)
target_link_options(tessacom_sys PRIVATE -shared -nostdlib -Wl,--subsystem,native
  -Wl,--entry,_DriverEntry@8 -Wl,--exclude-all-symbols -Wl,--image-base,0x10000)
target_link_libraries(tessacom_sys PRIVATE ntoskrnl hal gcc)
