// The platform's annotations of a routine's contract, as the DDK spells them: the IRQL it is
// entered at and the locks it expects held or not held on entry. They are read by the
// platform's static analysis and compile to nothing; the host defines those its headers lack,
// so that both homes compile the same declarations. platform/entry_checks.h checks the same
// contracts at run time in the host.
#pragma once

#ifndef _IRQL_requires_
#define _IRQL_requires_(level)
#endif
#ifndef _IRQL_requires_max_
#define _IRQL_requires_max_(level)
#endif
#ifndef _Requires_lock_held_
#define _Requires_lock_held_(lock)
#endif
#ifndef _Requires_lock_not_held_
#define _Requires_lock_not_held_(lock)
#endif
