// The expectations of an image host's layout check: one static_assert per line a layout probe
// wrote, holding the host's declaration of a type, record or field to the kernel's numbers. A
// difference fails the build with the kernel's number in the message; the host's declaration
// is what must change.
#pragma once

#define LAYOUT_EXPECT_TYPE(T, size, align)                                                  \
  static_assert(sizeof(T) == (size) && alignof(T) == (align),                               \
                #T ": the kernel's is " #size " bytes, aligned to " #align);
#define LAYOUT_EXPECT_EXTENDED(T, HostField, size, align)                                   \
  static_assert(__builtin_offsetof(T, HostField) >= (size) && alignof(T) == (align),        \
                #T ": the kernel's is " #size " bytes, aligned to " #align                  \
                "; the host's own fields, from " #HostField ", come after");
#define LAYOUT_EXPECT_FIELD(T, path, offset, size)                                          \
  static_assert(__builtin_offsetof(T, path) == (offset) && sizeof(((T*)nullptr)->path) == (size), \
                #T "." #path ": the kernel has it at " #offset ", " #size " bytes");
