#include "stream_bench.h"

namespace streambench {

void AddBoxParsers(std::vector<Parser>& out) { (void)out; }

}  // namespace streambench
