/* The public header compiles as C (the record sizes are checked inside it). */
#include "PyrnBox.h"

int pyrn_header_c_check(void) { return (int)sizeof(StSearchResult); }
