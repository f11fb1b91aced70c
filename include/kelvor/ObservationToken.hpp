#pragma once

#include <functional>

#include <kelvor/export.hpp>

namespace kelvor {

// Ends an observation when invalidated or destroyed. Movable, not copyable.
class KELVOR_EXPORT ObservationToken {
 public:
  ObservationToken() = default;
  explicit ObservationToken(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  ObservationToken(ObservationToken&& other) noexcept : cancel_(std::move(other.cancel_)) {
    other.cancel_ = nullptr;
  }
  ObservationToken& operator=(ObservationToken&& other) noexcept {
    if (this != &other) {
      invalidate();
      cancel_ = std::move(other.cancel_);
      other.cancel_ = nullptr;
    }
    return *this;
  }
  ObservationToken(const ObservationToken&) = delete;
  ObservationToken& operator=(const ObservationToken&) = delete;
  ~ObservationToken() { invalidate(); }

  void invalidate() {
    if (cancel_) {
      auto cancel = std::move(cancel_);
      cancel_ = nullptr;
      cancel();
    }
  }
  bool isValid() const { return static_cast<bool>(cancel_); }

 private:
  std::function<void()> cancel_;
};

}  // namespace kelvor
