#pragma once
// What the stream reader handed to the wave output ring and asked of the
// keyboard, as recorded by the doubles linked in their place.
#include <cstdint>
#include <deque>
#include <vector>

struct FakeOutput {
    int opens = 0;
    int stops = 0;
    int closes = 0;
    std::vector<std::vector<std::int16_t>> batches; // every submission, in order
    // Answers of the key-waiting test, in order; once used up it answers false.
    std::deque<bool> keyAnswers;
    int keysRead = 0;
    int keyTests = 0;
    // Batches submitted when each key test was made.
    std::vector<std::size_t> batchesAtKeyTest;
};

extern FakeOutput Fake;
