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

# The image's resources: a version block from the project's version, and the message table of
# the error-log entries, which windmc makes from driver/error_log_messages.mc. windres compiles
# them into one object that is linked as it is, so no compiler option of the driver reaches it.
set(TESSACOM_RESOURCE_DIR ${CMAKE_CURRENT_BINARY_DIR}/resources)
string(REGEX REPLACE "windres$" "windmc" TESSACOM_MC_COMPILER ${CMAKE_RC_COMPILER})
file(CONFIGURE OUTPUT ${TESSACOM_RESOURCE_DIR}/image_version.h CONTENT
  "#define TESSACOM_VERSION_NUMBERS ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0\n#define TESSACOM_VERSION_TEXT \"${PROJECT_VERSION}.0\"\n")
add_custom_command(
  OUTPUT ${TESSACOM_RESOURCE_DIR}/error_log_messages.rc ${TESSACOM_RESOURCE_DIR}/error_log_messages.h
  COMMAND ${TESSACOM_MC_COMPILER} -h ${TESSACOM_RESOURCE_DIR} -r ${TESSACOM_RESOURCE_DIR}
          ${CMAKE_SOURCE_DIR}/driver/error_log_messages.mc
  DEPENDS ${CMAKE_SOURCE_DIR}/driver/error_log_messages.mc
  COMMENT "Message table of the error-log entries")
add_custom_command(
  OUTPUT ${TESSACOM_RESOURCE_DIR}/image_resources.o
  COMMAND ${CMAKE_RC_COMPILER} -I ${TESSACOM_RESOURCE_DIR} -i ${CMAKE_SOURCE_DIR}/driver/image_resources.rc
          -o ${TESSACOM_RESOURCE_DIR}/image_resources.o
  DEPENDS ${CMAKE_SOURCE_DIR}/driver/image_resources.rc ${TESSACOM_RESOURCE_DIR}/error_log_messages.rc
          ${TESSACOM_RESOURCE_DIR}/image_version.h
  COMMENT "Resources of tessacom.sys")
set_source_files_properties(${TESSACOM_RESOURCE_DIR}/image_resources.o PROPERTIES
  EXTERNAL_OBJECT TRUE GENERATED TRUE)
target_sources(tessacom_sys PRIVATE ${TESSACOM_RESOURCE_DIR}/image_resources.o)
