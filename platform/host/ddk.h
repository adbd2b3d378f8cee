// The host's declaration of the NT kernel interface, in the DDK's names: what driver code
// sees in the user-mode home. Included only through platform/kernel.h.
#pragma once

#include "host/ddk/contract_annotations.h"
#include "host/ddk/io.h"
#include "host/ddk/ke.h"
#include "host/ddk/ntddser.h"
#include "host/ddk/ntdef.h"
#include "host/ddk/rtl_registry.h"
#include "host/ddk/tdi.h"
