// Replays one XML fuzz target's committed corpus (fuzz/corpus/<target>/)
// through the fuzz entry itself, so that every seed and every mended crasher
// stays a regression test. Built once per target, with the target's suite
// name and corpus folder.
#include "corpus.h"

namespace {

#define XML_CORPUS_REPLAY(suite, dir, minFiles) KIT_CORPUS_REPLAY_TESTS(suite, dir, minFiles)
XML_CORPUS_REPLAY(XML_CORPUS_SUITE, XML_CORPUS_DIR, 5u)

}  // namespace
