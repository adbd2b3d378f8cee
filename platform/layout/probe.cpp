// The layout probe: compiled to assembly by the kernel compiler against the DDK (never
// linked), it writes one marker line per entry of the layout lists with the kernel's own size,
// alignment and offsets. cmake/image_layout.cmake turns the markers into the expectations the
// 32-bit host's layout check holds its declarations to.
#include "port/port_record.h"
#include "link/link_packet.h"

#define LAYOUT_TYPE(T) \
  asm volatile(".ascii \"\\n@layout TYPE(" #T ", %c0, %c1)\\n\"" ::"i"(sizeof(T)), "i"(alignof(T)));
#define LAYOUT_EXTENDED(T, HostField)                                               \
  asm volatile(".ascii \"\\n@layout EXTENDED(" #T ", " #HostField ", %c0, %c1)\\n\"" ::"i"( \
      sizeof(T)), "i"(alignof(T)));
#define LAYOUT_FIELD(T, path)                                                         \
  asm volatile(".ascii \"\\n@layout FIELD(" #T ", " #path ", %c0, %c1)\\n\"" ::"i"(    \
      __builtin_offsetof(T, path)), "i"(sizeof(((T*)nullptr)->path)));

void ImageLayoutProbe() {
#include "layout/ddk_records.h"
#include "port/record_layout.h"
}
