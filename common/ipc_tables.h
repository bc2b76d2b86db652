// The tables of queues and events that connect the application to the pinger process. The
// application only sees these interfaces; the launcher decides whether they cross processes.
#pragma once

#include "common/values.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace veltaro::common {

class Queue {
 public:
  virtual ~Queue() = default;
  // The next item, waiting at most `timeout`; nullopt on time-out. An empty item is JSON null.
  virtual std::optional<Json> get(std::chrono::milliseconds timeout) = 0;
  // Adds an item without waiting; false when the queue is full or broken. Never throws.
  virtual bool put_nowait(const Json& item) noexcept = 0;
  virtual bool empty() const = 0;
};

class Event {
 public:
  virtual ~Event() = default;
  virtual void set() = 0;
  virtual bool is_set() const = 0;
  // Waits until set or `timeout` passed; returns whether it is set.
  virtual bool wait(std::chrono::milliseconds timeout) = 0;
};

using QueueTable = std::map<std::string, std::shared_ptr<Queue>>;
using EventTable = std::map<std::string, std::shared_ptr<Event>>;

// Thread-safe queue and event for one process (the standalone start and the tests).
class InProcessQueue final : public Queue {
 public:
  explicit InProcessQueue(std::size_t capacity = 1024) : capacity_(capacity) {}
  std::optional<Json> get(std::chrono::milliseconds timeout) override;
  bool put_nowait(const Json& item) noexcept override;
  bool empty() const override;

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Json> items_;
};

class InProcessEvent final : public Event {
 public:
  void set() override;
  bool is_set() const override;
  bool wait(std::chrono::milliseconds timeout) override;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

}  // namespace veltaro::common
