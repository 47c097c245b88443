// Replays the frame fuzzer's corpus (fuzz/corpus/frame/) through the fuzz
// entry itself, so that every seed and every crasher found and mended stays a
// regression test. The entry aborts on any broken check.
#include "corpus.h"

namespace {

KIT_CORPUS_REPLAY_TESTS(FrameCorpus, FRAME_CORPUS_DIR, 5u)

}  // namespace
