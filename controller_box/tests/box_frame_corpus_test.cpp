// Replays the box frame fuzzer's corpus (fuzz/corpus/box_frame/) through the
// fuzz entry itself, so that every seed and every mended crasher stays a
// regression test.
#include "corpus.h"

namespace {

KIT_CORPUS_REPLAY_TESTS(BoxFrameCorpus, BOX_CORPUS_DIR, 10u)

}  // namespace
