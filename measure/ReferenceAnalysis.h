// The block analysis written as plainly as its rules read: one sample at a time, in the order
// the rules are given. It is the yardstick for AnalyseBlock, whose fast paths must give a
// bit-identical BlockReading for every block; tests, fuzzers and benchmarks compare the two.
// Not used by the programs themselves.
//
// Same contract as AnalyseBlock: pure, allocates nothing, callable from any thread.
#pragma once

#include "measure/BlockAnalysis.h"

BlockReading AnalyseBlockReference(const SampleBlock& block, std::int32_t impulsesPerRevolution);
