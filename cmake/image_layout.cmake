# The layout check of an image host, one of its image checks: the layout probe
# (platform/layout/probe.cpp) is compiled to assembly by the kernel compiler against the DDK,
# its markers become expectations
# (image_layout_expected.h), and platform/layout/check.cpp holds the host's declarations of the
# same records to them, failing the build on any difference. The numbers come from the DDK
# itself on every build; none is written by hand.
# The kernel compiler of the image the host runs: i686 for the 32-bit host, x86_64 for the x64
# image host.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TESSACOM_KERNEL_TARGET i686-w64-mingw32)
else()
  set(TESSACOM_KERNEL_TARGET x86_64-w64-mingw32)
endif()
find_program(TESSACOM_KERNEL_CXX ${TESSACOM_KERNEL_TARGET}-g++ REQUIRED)
set(TESSACOM_DDK_INCLUDE /usr/${TESSACOM_KERNEL_TARGET}/include/ddk)
set(probe ${CMAKE_SOURCE_DIR}/platform/layout/probe.cpp)
set(probe_asm ${CMAKE_BINARY_DIR}/layout/probe.s)
set(expected ${CMAKE_BINARY_DIR}/layout/image_layout_expected.h)
file(GLOB_RECURSE probe_inputs CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/platform/kernel.h ${CMAKE_SOURCE_DIR}/platform/layout/*.h ${CMAKE_SOURCE_DIR}/platform/nt/*.h
  ${CMAKE_SOURCE_DIR}/port/*.h ${CMAKE_SOURCE_DIR}/link/*.h)
add_custom_command(OUTPUT ${expected}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/layout
  COMMAND ${TESSACOM_KERNEL_CXX} -std=c++17 -ffreestanding -fno-exceptions -fno-rtti
    --param=min-pagesize=0 -DTESSACOM_HOME_NT -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
    -I${CMAKE_SOURCE_DIR} -I${CMAKE_SOURCE_DIR}/platform -I${TESSACOM_DDK_INCLUDE}
    -S ${probe} -o ${probe_asm}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${probe_asm} -DOUTPUT=${expected}
    -P ${CMAKE_SOURCE_DIR}/cmake/extract_layout.cmake
  DEPENDS ${probe} ${probe_inputs} ${CMAKE_SOURCE_DIR}/cmake/extract_layout.cmake
  COMMENT "Reading the kernel's record layouts from the DDK"
  VERBATIM)
target_sources(tessacom_image_checks PRIVATE ${CMAKE_SOURCE_DIR}/platform/layout/check.cpp ${expected})
target_include_directories(tessacom_image_checks PRIVATE ${CMAKE_BINARY_DIR}/layout)
