#include "pipeline/Intake.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <new>
#include <utility>

namespace kelvor {

Intake::Batch::Batch(Batch&& other) noexcept
    : head_(std::exchange(other.head_, nullptr)),
      first_(std::exchange(other.first_, 0)),
      count_(std::exchange(other.count_, 0)) {}

Intake::Batch& Intake::Batch::operator=(Batch&& other) noexcept {
  if (this != &other) {
    freeChain(head_);
    head_ = std::exchange(other.head_, nullptr);
    first_ = std::exchange(other.first_, 0);
    count_ = std::exchange(other.count_, 0);
  }
  return *this;
}

Intake::Batch::~Batch() {
  freeChain(head_);
}

Intake::~Intake() {
  freeChain(head_);
  freeChain(spare_);
}

namespace {

constexpr size_t mappedBytes(size_t bytes) {
  constexpr size_t page = 4096;
  return (bytes + page - 1) / page * page;
}

}  // namespace

Intake::Block* Intake::makeBlock() {
  // Mapped apart from the heap and written whole as it is made (its slots are constructed), so a
  // block the manager makes ahead is resident before an app thread fills it.
  void* memory = mmap(nullptr, mappedBytes(sizeof(Block)), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  return new (memory) Block();
}

void Intake::freeBlock(Block* block) {
  block->~Block();
  munmap(block, mappedBytes(sizeof(Block)));
}

void Intake::freeChain(Block* head) {
  while (head != nullptr) freeBlock(std::exchange(head, head->next));
}

Intake::Block* Intake::takeSpareLocked() {
  Block* block = spare_;
  spare_ = block->next;
  block->next = nullptr;
  --spareCount_;
  return block;
}

void Intake::dropOldestLocked() {
  bytes_ -= head_->bytes[first_];
  --count_;
  // The report stays in its slot until the slot is reused: freeing it here would do the
  // allocator's work under the lock.
  if (++first_ < blockSize && count_ > 0) return;
  Block* done = head_;
  head_ = done->next;
  first_ = 0;
  if (head_ == nullptr) {
    tail_ = nullptr;
    end_ = 0;
  }
  done->next = spare_;
  spare_ = done;
  ++spareCount_;
}

Intake::Handed Intake::push(EventReport& report, size_t bytes, Limit* limit) {
  Handed handed;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (closed_) return handed;
    if (tail_ != nullptr && end_ < blockSize) break;
    if (spare_ != nullptr) {
      Block* block = takeSpareLocked();
      if (tail_ == nullptr) {
        head_ = block;
        first_ = 0;
      } else {
        tail_->next = block;
      }
      tail_ = block;
      end_ = 0;
      break;
    }
    // A burst beyond every block so far: a new one is made outside the lock and offered to
    // whichever caller needs it first.
    lock.unlock();
    Block* block = makeBlock();
    if (block == nullptr) throw std::bad_alloc();
    lock.lock();
    block->next = spare_;
    spare_ = block;
    ++spareCount_;
  }
  // Numbered under the lock, so numbers follow the intake's order and a flush that sees a number
  // knows every earlier report is ahead of it.
  report.seq = lastSeq_.load() + 1;
  lastSeq_.store(report.seq);
  std::swap(tail_->slots[end_], report);
  tail_->bytes[end_] = bytes;
  ++end_;
  ++count_;
  bytes_ += bytes;
  if (limit != nullptr) {
    const size_t rows = std::max<size_t>(1, limit->rows);
    while (count_ > rows || (count_ > 1 && bytes_ > limit->bytes)) {
      dropOldestLocked();
      ++handed.dropped;
    }
    if (handed.dropped > 0) {
      droppedUnwarned_ += handed.dropped;
      droppedCause_ = limit->cause;
    }
  }
  length_.store(count_, std::memory_order_relaxed);
  handed.taken = true;
  handed.schedule = !std::exchange(drainScheduled_, true);
  return handed;
}

uint64_t Intake::number() {
  std::lock_guard lock(mutex_);
  const uint64_t seq = lastSeq_.load() + 1;
  lastSeq_.store(seq);
  return seq;
}

size_t Intake::size() const {
  std::lock_guard lock(mutex_);
  return count_ + taken_;
}

void Intake::handedOn(size_t left) {
  std::lock_guard lock(mutex_);
  taken_ = left;
}

Intake::Batch Intake::take(size_t& unwarned, DropCause& cause) {
  Batch batch;
  std::lock_guard lock(mutex_);
  batch.head_ = std::exchange(head_, nullptr);
  batch.first_ = std::exchange(first_, 0);
  batch.count_ = std::exchange(count_, 0);
  taken_ = batch.count_;
  tail_ = nullptr;
  end_ = 0;
  bytes_ = 0;
  length_.store(0, std::memory_order_relaxed);
  unwarned = std::exchange(droppedUnwarned_, 0);
  cause = droppedCause_;
  return batch;
}

void Intake::recycle(Batch batch) {
  if (batch.head_ == nullptr) return;
  size_t room = 0;
  {
    std::lock_guard lock(mutex_);
    room = spareCount_ < spareBlocks ? spareBlocks - spareCount_ : 0;
  }
  // Split outside the lock: the blocks kept go back in one step, the rest are freed here.
  Block* keptTail = nullptr;
  size_t kept = 0;
  for (Block* block = batch.head_; block != nullptr && kept < room; block = block->next) {
    keptTail = block;
    ++kept;
  }
  if (keptTail != nullptr) {
    Block* keptHead = std::exchange(batch.head_, keptTail->next);
    std::lock_guard lock(mutex_);
    keptTail->next = spare_;
    spare_ = keptHead;
    spareCount_ += kept;
  }
  batch.count_ = 0;
}

void Intake::keepSpare(size_t blocks) {
  size_t missing = 0;
  {
    std::lock_guard lock(mutex_);
    missing = spareCount_ < blocks ? blocks - spareCount_ : 0;
  }
  if (missing == 0) return;
  Block* made = nullptr;
  Block* madeTail = nullptr;
  for (size_t i = 0; i < missing; ++i) {
    Block* block = makeBlock();
    // Made ahead, from inside a drain: without memory the app's thread makes it when needed.
    if (block == nullptr) {
      missing = i;
      break;
    }
    block->next = made;
    made = block;
    if (madeTail == nullptr) madeTail = block;
  }
  if (made == nullptr) return;
  std::lock_guard lock(mutex_);
  madeTail->next = spare_;
  spare_ = made;
  spareCount_ += missing;
}

bool Intake::finishDrainIfEmpty() {
  std::lock_guard lock(mutex_);
  if (count_ > 0) return false;
  drainScheduled_ = false;
  return true;
}

bool Intake::idle() const {
  std::lock_guard lock(mutex_);
  return count_ == 0 && !drainScheduled_;
}

void Intake::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

size_t Intake::clear() {
  Block* chain = nullptr;
  size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    chain = std::exchange(head_, nullptr);
    first_ = 0;
    count = std::exchange(count_, 0);
    tail_ = nullptr;
    end_ = 0;
    bytes_ = 0;
    length_.store(0, std::memory_order_relaxed);
    droppedUnwarned_ = 0;
    // A drain scheduled before finds nothing; the next report schedules its own.
    drainScheduled_ = false;
  }
  freeChain(chain);
  return count;
}

}  // namespace kelvor
