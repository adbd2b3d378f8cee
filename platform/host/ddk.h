// The host's declaration of the NT kernel interface, in the DDK's names: what driver code
// sees in the user-mode home. Included only through platform/kernel.h.
#pragma once

#include "ddk/ntdef.h"
#include "ddk/ke.h"
#include "ddk/io.h"
#include "ddk/rtl_registry.h"
#include "ddk/tdi.h"
#include "ddk/ntddser.h"
