#include "pipeline/TextArena.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

namespace kelvor {

struct TextArena::Chunk {
  // Texts in it, plus one while it is the chunk being written.
  std::atomic<size_t> live{0};
  TextArena* arena = nullptr;
  Chunk* next = nullptr;

  char* data() { return reinterpret_cast<char*>(this) + sizeof(Chunk); }
  static constexpr size_t capacity() { return chunkBytes - sizeof(Chunk); }
};

TextArena::Text::Text(Text&& other) noexcept
    : chunk_(std::exchange(other.chunk_, nullptr)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      owned_(std::move(other.owned_)) {}

TextArena::Text& TextArena::Text::operator=(Text&& other) noexcept {
  if (this != &other) {
    release();
    chunk_ = std::exchange(other.chunk_, nullptr);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    owned_ = std::move(other.owned_);
  }
  return *this;
}

void TextArena::Text::release() {
  Chunk* chunk = std::exchange(chunk_, nullptr);
  data_ = nullptr;
  size_ = 0;
  if (chunk != nullptr && chunk->live.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    chunk->arena->giveBack(chunk);
  }
}

TextArena::~TextArena() {
  if (current_ != nullptr) unmap(current_);
  while (ready_ != nullptr) unmap(std::exchange(ready_, ready_->next));
}

TextArena::Chunk* TextArena::map() {
  // Every page is written here, once, by whoever maps the chunk: on a virtual machine whose host
  // hands the guest its pages lazily even a page the kernel populated costs a trip to the host on
  // its first write (about 5 µs). Not populated with the mapping (MAP_POPULATE): that holds the
  // address space's lock while it runs, and a fork or another thread's mmap would queue behind
  // it; a fault takes only the mapping's own lock.
  void* memory =
      mmap(nullptr, chunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  constexpr size_t page = 4096;
  auto* bytes = static_cast<volatile char*>(memory);
  for (size_t offset = 0; offset < chunkBytes; offset += page) bytes[offset] = 0;
  return new (memory) Chunk();
}

void TextArena::unmap(Chunk* chunk) {
  chunk->~Chunk();
  munmap(chunk, chunkBytes);
}

TextArena::Text TextArena::onHeap(std::string& text) {
  Text kept;
  kept.owned_.swap(text);
  return kept;
}

TextArena::Text TextArena::keep(std::string& text) {
  if (text.empty()) return Text();
  if (text.size() > largestText) return onHeap(text);
  const size_t bytes = (text.size() + 7) & ~size_t{7};  // the next text starts aligned
  Text kept;
  Chunk* retired = nullptr;
  {
    std::unique_lock lock(mutex_);
    while (current_ == nullptr || used_ + bytes > Chunk::capacity()) {
      if (ready_ != nullptr) {
        retired = std::exchange(current_, std::exchange(ready_, ready_->next));
        --readyCount_;
        ++taken_;
        current_->next = nullptr;
        current_->live.store(1, std::memory_order_relaxed);
        used_ = 0;
        break;
      }
      // Before the manager's first look the process may be a tool that reports once: the heap
      // serves. After it, a thread that outran the manager maps a chunk itself, outside the
      // lock: one system call instead of a fault for every page its texts would touch.
      if (mapped_ == 0) return onHeap(text);
      lock.unlock();
      Chunk* made = map();
      lock.lock();
      if (made == nullptr) return onHeap(text);
      offerLocked(made);
    }
    kept.chunk_ = current_;
    kept.data_ = current_->data() + used_;
    kept.size_ = text.size();
    used_ += bytes;
    current_->live.fetch_add(1, std::memory_order_relaxed);
  }
  // The range is this text's alone; the intake's lock publishes it to the manager.
  std::memcpy(const_cast<char*>(kept.data_), text.data(), text.size());
  if (retired != nullptr) dropCurrentReference(retired);
  return kept;
}

void TextArena::offerLocked(Chunk* chunk) {
  chunk->arena = this;
  chunk->next = ready_;
  ready_ = chunk;
  ++readyCount_;
  ++mapped_;
}

void TextArena::dropCurrentReference(Chunk* chunk) {
  if (chunk->live.fetch_sub(1, std::memory_order_acq_rel) == 1) giveBack(chunk);
}

void TextArena::giveBack(Chunk* chunk) {
  // Never unmapped here: this may be the app's thread, and a chunk back in the list costs
  // nothing until the manager trims.
  std::lock_guard lock(mutex_);
  chunk->next = ready_;
  ready_ = chunk;
  ++readyCount_;
}

void TextArena::prepare(size_t least, size_t most) {
  size_t wanted = 0;
  size_t missing = 0;
  size_t surplus = 0;
  {
    std::lock_guard lock(mutex_);
    wanted = std::clamp(2 * std::exchange(taken_, 0) + 1, least, most);
    missing = readyCount_ < wanted ? wanted - readyCount_ : 0;
    surplus = readyCount_ > 2 * wanted ? readyCount_ - 2 * wanted : 0;
  }
  // Chunks a drain freed faster than the app's threads write go while the burst is still being
  // drained, or the peak would hold them beside the rows they became.
  if (surplus > 0) trim(2 * wanted);
  for (; missing > 0; --missing) {
    Chunk* chunk = map();
    if (chunk == nullptr) return;  // the heap serves meanwhile
    std::lock_guard lock(mutex_);
    offerLocked(chunk);
  }
}

void TextArena::trim(size_t kept) {
  Chunk* surplus = nullptr;
  {
    std::lock_guard lock(mutex_);
    while (readyCount_ > kept) {
      Chunk* chunk = std::exchange(ready_, ready_->next);
      chunk->next = surplus;
      surplus = chunk;
      --readyCount_;
      --mapped_;
    }
  }
  while (surplus != nullptr) unmap(std::exchange(surplus, surplus->next));
}

size_t TextArena::ready() const {
  std::lock_guard lock(mutex_);
  return readyCount_;
}

size_t TextArena::mapped() const {
  std::lock_guard lock(mutex_);
  return mapped_;
}

}  // namespace kelvor
