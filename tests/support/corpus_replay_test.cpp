// Replays the committed corpus of one fuzz target (KIT_CORPUS_DIR) through the
// target's own entry, linked into this test, so that every seed and every
// crasher found and mended stays a regression test. kit_add_corpus_test sets
// the suite name and the least number of files the folder must hold.
#include "corpus.h"

namespace {

KIT_CORPUS_REPLAY_TESTS_OF(KIT_CORPUS_SUITE, KIT_CORPUS_DIR, KIT_CORPUS_MIN)

}  // namespace
