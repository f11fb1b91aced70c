#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/TextArena.hpp"

namespace kelvor {
namespace {

std::string textNumber(size_t n) {
  // Lengths vary so that texts straddle the chunks' ends in every way.
  return "{\"n\":" + std::to_string(n) + ",\"pad\":\"" + std::string(n % 700, 'x') + "\"}";
}

// Texts written across many chunks read back intact while later ones are written; once released
// their chunks are written again rather than new ones mapped. Before any chunk is prepared, and
// for a large text, the text stays on the heap.
TEST(TextArenaTest, TextsReadBackAndChunksAreReused) {
  TextArena arena;
  std::string buffer = "{\"first\":1}";
  TextArena::Text first = arena.keep(buffer);
  EXPECT_EQ(first.view(), "{\"first\":1}");
  EXPECT_EQ(arena.mapped(), 0u);  // a tool that reports once maps nothing
  EXPECT_EQ(first.takeHeapBuffer(), "{\"first\":1}");

  arena.prepare(1, 8);
  ASSERT_EQ(arena.mapped(), 1u);
  size_t mappedAfterFirstRound = 0;
  for (int round = 0; round < 4; ++round) {
    std::vector<TextArena::Text> texts;
    for (size_t n = 0; n < 2000; ++n) {
      buffer = textNumber(n);
      texts.push_back(arena.keep(buffer));
      EXPECT_EQ(buffer, textNumber(n)) << "the buffer is kept for the next text";
    }
    for (size_t n = 0; n < texts.size(); ++n) ASSERT_EQ(texts[n].view(), textNumber(n)) << n;
    if (round == 0) mappedAfterFirstRound = arena.mapped();
    // A round starts in the chunk the last one left partly written: one more at most.
    EXPECT_LE(arena.mapped(), mappedAfterFirstRound + 1) << "round " << round;
  }
  EXPECT_GT(mappedAfterFirstRound, 2u);
  arena.trim(1);
  EXPECT_EQ(arena.ready(), 1u);

  std::string large(TextArena::largestText + 1, 'y');
  TextArena::Text onHeap = arena.keep(large);
  EXPECT_EQ(onHeap.view().size(), TextArena::largestText + 1);
  EXPECT_EQ(onHeap.takeHeapBuffer().size(), TextArena::largestText + 1);
}

// Several app threads write while another releases texts in the order they came and prepares
// chunks: every text reads back as written.
TEST(TextArenaTest, ThreadsWriteWhileAnotherReleases) {
  TextArena arena;
  arena.prepare(2, 8);
  std::mutex mutex;
  std::deque<std::pair<std::string, TextArena::Text>> queue;
  constexpr int writers = 4;
  constexpr size_t perWriter = 3000;
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&, w] {
      std::string buffer;
      for (size_t n = 0; n < perWriter; ++n) {
        buffer = textNumber(n * writers + static_cast<size_t>(w));
        TextArena::Text text = arena.keep(buffer);
        std::lock_guard lock(mutex);
        queue.emplace_back(buffer, std::move(text));
      }
    });
  }
  size_t checked = 0;
  size_t wrong = 0;
  while (checked < writers * perWriter) {
    std::deque<std::pair<std::string, TextArena::Text>> taken;
    {
      std::lock_guard lock(mutex);
      taken.swap(queue);
    }
    for (auto& [expected, text] : taken) wrong += text.view() != expected ? 1 : 0;
    checked += taken.size();
    if (taken.empty())
      std::this_thread::yield();
    else
      arena.prepare(2, 8);
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0u);
}

}  // namespace
}  // namespace kelvor
