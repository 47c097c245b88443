// The control log's queue as tests read it: with the log switched on and no
// writer running, every line stays queued, in order, as the library made it
// (GBK).
#pragma once

#include <string>
#include <vector>

#include "context.h"

namespace qelmtest {

// The lines queued so far, taken off the queue.
inline std::vector<std::string> TakeQueuedLog() {
  auto& q = qelm::Global().m_log;
  pf::Lock lk(q.m_csLog);
  std::vector<std::string> lines(q.m_listLog.begin(), q.m_listLog.end());
  q.m_listLog.clear();
  return lines;
}

}  // namespace qelmtest
