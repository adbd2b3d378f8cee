# Turns a layout probe's assembly (INPUT) into the expectations of an image host's layout
# check (OUTPUT): one LAYOUT_EXPECT_<kind>(...) line per "@layout <kind>(...)" marker.
file(STRINGS "${INPUT}" markers REGEX "@layout ")
set(lines "// Generated from a layout probe compiled by the kernel compiler; do not edit.\n")
foreach(marker IN LISTS markers)
  string(REGEX REPLACE ".*@layout ([A-Z]+\\([^)]*\\)).*" "LAYOUT_EXPECT_\\1" line "${marker}")
  string(APPEND lines "${line}\n")
endforeach()
file(WRITE "${OUTPUT}.new" "${lines}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
