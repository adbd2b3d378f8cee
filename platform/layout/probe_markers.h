// The markers of a layout probe: expanded over a layout list inside a routine the kernel
// compiler turns into assembly (never linked), each entry writes one "@layout" line with the
// kernel's own size, alignment or offset. cmake/image_layout.cmake turns the lines into the
// expectations (layout/expectations.h) an image host's layout check holds its declarations to.
#pragma once

#define LAYOUT_TYPE(T) \
  asm volatile(".ascii \"\\n@layout TYPE(" #T ", %c0, %c1)\\n\"" ::"i"(sizeof(T)), "i"(alignof(T)));
#define LAYOUT_EXTENDED(T, HostField)                                               \
  asm volatile(".ascii \"\\n@layout EXTENDED(" #T ", " #HostField ", %c0, %c1)\\n\"" ::"i"( \
      sizeof(T)), "i"(alignof(T)));
#define LAYOUT_FIELD(T, path)                                                         \
  asm volatile(".ascii \"\\n@layout FIELD(" #T ", " #path ", %c0, %c1)\\n\"" ::"i"(    \
      __builtin_offsetof(T, path)), "i"(sizeof(((T*)nullptr)->path)));
