#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "pipeline/DropCause.hpp"
#include "pipeline/EventReport.hpp"
#include "support/AdaptiveMutex.hpp"

namespace kelvor {

// The reports the app's threads handed over and the manager's queue has not taken yet, oldest
// first. Every operation under its lock is O(1) whatever its length: a report is swapped into a
// slot of a chain of fixed blocks, the oldest is dropped by moving the head, and the manager takes
// the whole chain at once and hands the blocks back for reuse. Nothing is allocated or freed
// under the lock: a block is made outside it, and what a slot held before (a report already taken
// or dropped) leaves with the caller.
class Intake {
 public:
  static constexpr size_t blockSize = 256;
  // Blocks kept for reuse between drains (4,096 reports); a larger burst's blocks are freed.
  static constexpr size_t spareBlocks = 16;

  // What the intake may hold while it is long: read by the caller before it locks.
  struct Limit {
    size_t rows = SIZE_MAX;
    size_t bytes = SIZE_MAX;
    DropCause cause;  // said in the warning of what goes beyond it
  };

  struct Handed {
    bool taken = false;     // false once closed
    bool schedule = false;  // the first report since the last drain: wake the manager
    size_t dropped = 0;     // the oldest reports dropped to stay within the limit
  };

  struct Block;

  // The reports taken by one drain, oldest first. Each is moved out as it is processed; the
  // blocks then go back to the intake (recycle) or are freed.
  class Batch {
   public:
    Batch() = default;
    Batch(Batch&& other) noexcept;
    Batch& operator=(Batch&& other) noexcept;
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch();

    size_t size() const { return count_; }
    template <class Visit>
    void forEach(Visit&& visit);

   private:
    friend class Intake;
    Block* head_ = nullptr;
    size_t first_ = 0;  // index of the oldest report in head_
    size_t count_ = 0;
  };

  Intake() = default;
  Intake(const Intake&) = delete;
  Intake& operator=(const Intake&) = delete;
  ~Intake();

  // App's thread: numbers the report and queues it; on return `report` holds what the slot held
  // before (freed by the caller, outside the lock). With a limit, the oldest reports beyond it
  // are dropped (at least the newest stays) and `limit.cause` is kept for the warning.
  Handed push(EventReport& report, size_t bytes, Limit* limit);
  // A number for a report processed at once, in the same order as those queued.
  uint64_t number();
  uint64_t lastSeq() const { return lastSeq_.load(); }
  // Reports waiting, read without the lock (the caller decides whether to look the limit up).
  size_t length() const { return length_.load(std::memory_order_relaxed); }
  // Reports waiting, and those the manager took and has not yet handed on as rows.
  size_t size() const;

  // Manager's queue: takes every report waiting, and the drops not warned about yet.
  Batch take(size_t& unwarned, DropCause& cause);
  // Manager's queue: how many of the reports it took are not yet handed on as rows (a process
  // that ends meanwhile counts them among what it could not keep).
  void handedOn(size_t left);
  // The blocks of a processed batch go back for the next reports.
  void recycle(Batch batch);
  // Manager's queue: makes blocks until `blocks` wait for reuse, so a caller that outruns the
  // manager finds storage already made (and its pages touched) instead of making it. Without
  // memory it makes fewer, and never throws: it runs inside a drain.
  void keepSpare(size_t blocks);
  // The drain ends when nothing came in meanwhile: clears the mark so the next report wakes it.
  bool finishDrainIfEmpty();
  // Empty and no drain scheduled.
  bool idle() const;
  // Reports after it are refused.
  void close();
  // Drops every report waiting and the drops not yet warned about, uncounted; how many went.
  size_t clear();

  // The lock itself, for a fork handler that must hold it across fork().
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  Block* takeSpareLocked();
  void dropOldestLocked();
  static Block* makeBlock();
  static void freeBlock(Block* block);
  static void freeChain(Block* head);

  mutable AdaptiveMutex mutex_;
  Block* head_ = nullptr;
  Block* tail_ = nullptr;
  size_t first_ = 0;  // index of the oldest report in head_
  size_t end_ = 0;    // index after the newest report in tail_
  size_t count_ = 0;
  size_t taken_ = 0;  // taken by the manager, not yet rows
  size_t bytes_ = 0;
  Block* spare_ = nullptr;
  size_t spareCount_ = 0;
  bool drainScheduled_ = false;
  bool closed_ = false;
  size_t droppedUnwarned_ = 0;
  DropCause droppedCause_;
  std::atomic<uint64_t> lastSeq_{0};
  std::atomic<size_t> length_{0};
};

struct Intake::Block {
  std::array<EventReport, blockSize> slots;
  std::array<size_t, blockSize> bytes{};
  Block* next = nullptr;
};

template <class Visit>
void Intake::Batch::forEach(Visit&& visit) {
  size_t index = first_;
  size_t left = count_;
  for (Block* block = head_; block != nullptr && left > 0; block = block->next, index = 0) {
    for (; index < blockSize && left > 0; ++index, --left) visit(block->slots[index]);
  }
}

}  // namespace kelvor
