#include "stream_bench.h"

namespace streambench {

void AddPlateParsers(std::vector<Parser>& out) { (void)out; }

}  // namespace streambench
