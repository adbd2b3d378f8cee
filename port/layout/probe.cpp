// The layout probe of the driver's records: compiled to assembly by the kernel compiler as the
// kernel image compiles them (never linked, never part of the driver), it writes one marker
// line per entry of port/record_layout.h with the image's own numbers
// (cmake/image_layout.cmake).
#include "port/port_record.h"
#include "layout/probe_markers.h"

void RecordLayoutProbe() {
#include "port/record_layout.h"
}
