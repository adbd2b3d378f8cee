// The layout probe of the DDK's records: compiled to assembly by the kernel compiler against
// the DDK (never linked), it writes one marker line per entry of layout/ddk_records.h with the
// kernel's own numbers (cmake/image_layout.cmake).
#include "kernel.h"
#include "layout/probe_markers.h"

void DdkLayoutProbe() {
#include "layout/ddk_records.h"
}
