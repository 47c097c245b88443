#include "stream_bench.h"

namespace streambench {

void AddCameraParsers(std::vector<Parser>& out) { (void)out; }

}  // namespace streambench
