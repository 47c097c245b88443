// Replays a box fuzzer's corpus (fuzz/corpus/<target>/) through the fuzz
// entry itself, so that every seed and every mended crasher stays a
// regression test.
#include "corpus.h"

// Expands the suite's name before the replay macro pastes it.
#define BOX_CORPUS_REPLAY(suite, dir, minFiles) KIT_CORPUS_REPLAY_TESTS(suite, dir, minFiles)

namespace {

BOX_CORPUS_REPLAY(BOX_CORPUS_SUITE, BOX_CORPUS_DIR, 10u)

}  // namespace
