// Stand-in for the C runtime's <stdlib.h>: the one declaration of it the
// platform layer uses, as Microsoft's header declares it (intrin.h does not).
#pragma once
unsigned __int64 __cdecl _byteswap_uint64(unsigned __int64);
