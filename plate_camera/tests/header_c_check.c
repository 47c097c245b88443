/* The public header is C: it compiles as C with its record sizes intact. */
#include "Nardix.h"

_Static_assert(sizeof(StLprDeviceInfo) == 316, "StLprDeviceInfo");
_Static_assert(sizeof(StLprNetParams) == 54, "StLprNetParams");
_Static_assert(sizeof(StLprControlParams) == 520, "StLprControlParams");
_Static_assert(sizeof(StLprVersionInfo) == 1275, "StLprVersionInfo");
_Static_assert(sizeof(StLprAlgParams) == 20, "StLprAlgParams");
_Static_assert(sizeof(StLprResult) == 368 + 5 * (sizeof(void*) - 4), "StLprResult");

int nardix_header_c_check(void) { return (int)sizeof(StLprResult); }
