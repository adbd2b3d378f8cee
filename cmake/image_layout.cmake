# The layout checks of an image host, among its image checks. Each is a probe, compiled to
# assembly by the kernel compiler (the DDK's headers, the kernel image's flags), whose markers
# become expectations (<name>_expected.h), and a check that holds the host's declarations of
# the same records to them, failing the build on any difference. The numbers come from the
# kernel compiler itself on every build; none is written by hand. Two of them: the DDK's
# records (platform/layout/) and the driver's own records (port/layout/).
# The kernel compiler of the image the host runs: i686 for the 32-bit host, x86_64 for the x64
# image host.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TESSACOM_KERNEL_TARGET i686-w64-mingw32)
else()
  set(TESSACOM_KERNEL_TARGET x86_64-w64-mingw32)
endif()
find_program(TESSACOM_KERNEL_CXX ${TESSACOM_KERNEL_TARGET}-g++ REQUIRED)
set(TESSACOM_DDK_INCLUDE /usr/${TESSACOM_KERNEL_TARGET}/include/ddk)

# tessacom_layout_check(NAME DIR INPUT_GLOB...): DIR/probe.cpp compiled by the kernel compiler,
# its markers extracted into NAME_expected.h, and DIR/check.cpp, which includes that header,
# added to the image checks. The probe is compiled again when it, one of the inputs or the
# markers change.
function(tessacom_layout_check name dir)
  set(probe ${dir}/probe.cpp)
  set(probe_asm ${CMAKE_BINARY_DIR}/layout/${name}_probe.s)
  set(expected ${CMAKE_BINARY_DIR}/layout/${name}_expected.h)
  file(GLOB_RECURSE inputs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/kernel.h
    ${CMAKE_SOURCE_DIR}/platform/nt/*.h ${CMAKE_SOURCE_DIR}/platform/layout/*.h ${ARGN})
  add_custom_command(OUTPUT ${expected}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/layout
    COMMAND ${TESSACOM_KERNEL_CXX} -std=c++17 -ffreestanding -fno-exceptions -fno-rtti
      --param=min-pagesize=0 -DTESSACOM_HOME_NT -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
      -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
      -I${CMAKE_SOURCE_DIR} -I${CMAKE_SOURCE_DIR}/platform -I${TESSACOM_DDK_INCLUDE}
      -S ${probe} -o ${probe_asm}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${probe_asm} -DOUTPUT=${expected}
      -P ${CMAKE_SOURCE_DIR}/cmake/extract_layout.cmake
    DEPENDS ${probe} ${inputs} ${CMAKE_SOURCE_DIR}/cmake/extract_layout.cmake
    COMMENT "Reading the kernel compiler's layouts into ${name}_expected.h"
    VERBATIM)
  target_sources(tessacom_image_checks PRIVATE ${dir}/check.cpp ${expected})
endfunction()

tessacom_layout_check(ddk_layout ${CMAKE_SOURCE_DIR}/platform/layout)
tessacom_layout_check(record_layout ${CMAKE_SOURCE_DIR}/port/layout ${CMAKE_SOURCE_DIR}/port/*.h)
target_include_directories(tessacom_image_checks PRIVATE ${CMAKE_BINARY_DIR}/layout)
