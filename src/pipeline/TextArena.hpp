#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

#include "support/AdaptiveMutex.hpp"

namespace kelvor {

// Storage already resident for the texts of reports waiting in the intake. A burst outruns the
// manager, so the intake holds most of it; had each text come from the heap, the app's thread
// would touch fresh pages as it writes them, one page fault (about 10 µs on a virtual machine)
// every few reports. Here the manager's thread maps and touches chunks ahead, and the app's
// thread only copies its text into the current chunk. A chunk goes back for reuse once every text
// in it is released; the manager unmaps what a quiet library does not need. With no chunk ready, or
// for a large text, the text stays on the heap as before.
class TextArena {
 public:
  static constexpr size_t chunkBytes = 256 * 1024;
  // Larger texts stay on the heap: a chunk is for many reports.
  static constexpr size_t largestText = chunkBytes / 16;

  struct Chunk;

  // One report's text, in a chunk or on the heap. Releasing the last text of a chunk that is no
  // longer being written gives the chunk back for reuse.
  class Text {
   public:
    Text() = default;
    explicit Text(std::string owned) : owned_(std::move(owned)) {}
    Text(Text&& other) noexcept;
    Text& operator=(Text&& other) noexcept;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text() { release(); }

    std::string_view view() const {
      return chunk_ != nullptr ? std::string_view(data_, size_) : std::string_view(owned_);
    }
    size_t size() const { return chunk_ != nullptr ? size_ : owned_.size(); }
    // The heap buffer of a text kept there (empty otherwise), for the next text to write into.
    std::string takeHeapBuffer() { return std::move(owned_); }

   private:
    friend class TextArena;
    void release();

    Chunk* chunk_ = nullptr;
    const char* data_ = nullptr;
    size_t size_ = 0;
    std::string owned_;
  };

  TextArena() = default;
  TextArena(const TextArena&) = delete;
  TextArena& operator=(const TextArena&) = delete;
  // Every text is released first (the arena outlives the reports that hold them).
  ~TextArena();

  // App's thread: `text` copied into a chunk (`text` keeps its buffer), or moved to the heap
  // when it is large or no chunk was ever prepared.
  Text keep(std::string& text);
  // Manager's queue: maps chunks until as many wait as the app's threads took since the last
  // look and one more (at least `least`, at most `most`), so the next stretch finds them ready;
  // unmaps those beyond twice that.
  void prepare(size_t least, size_t most);
  // Manager's queue: unmaps the chunks waiting beyond `kept`.
  void trim(size_t kept);
  // Chunks waiting for a text and chunks mapped in all.
  size_t ready() const;
  size_t mapped() const;

 private:
  static Text onHeap(std::string& text);
  static Chunk* map();
  static void unmap(Chunk* chunk);
  void giveBack(Chunk* chunk);
  void offerLocked(Chunk* chunk);
  void dropCurrentReference(Chunk* chunk);

  mutable AdaptiveMutex mutex_;
  Chunk* current_ = nullptr;  // being written; holds one reference of its own
  size_t used_ = 0;           // bytes written in current_
  Chunk* ready_ = nullptr;
  size_t readyCount_ = 0;
  size_t mapped_ = 0;
  size_t taken_ = 0;  // chunks the app's threads took since the last prepare
};

}  // namespace kelvor
