// Replays a box fuzz target's corpus (fuzz/corpus/<target>/) through the fuzz
// entry itself, so that every seed and every mended crasher stays a
// regression test. CORPUS_SUITE, CORPUS_DIR and CORPUS_MIN come from the
// build, one test program per target.
#include "corpus.h"

namespace {

#define BOX_CORPUS_REPLAY(suite, dir, min) KIT_CORPUS_REPLAY_TESTS(suite, dir, min)
BOX_CORPUS_REPLAY(CORPUS_SUITE, CORPUS_DIR, CORPUS_MIN)

}  // namespace
