// A look at the dispatcher for tests and programs: how many threads are blocked right now in a
// wait on a given event, timer or thread object (e.g. "the sender thread sleeps on its event").
#pragma once

#include <cstddef>

namespace host::ke {

size_t WaitersOn(const void* object);

}  // namespace host::ke
