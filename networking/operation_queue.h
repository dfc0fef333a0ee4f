// Operations and the queue that starts them once their dependencies have finished.
// Every member is safe from any thread. A queue starts each ready operation on the global
// dispatch pool and forgets it once it has finished; an operation's completion block runs
// once, on the pool, after it finished.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "platform/mutex.h"

class MCOperationQueue;

class MCOperation : public std::enable_shared_from_this<MCOperation> {
 public:
  virtual ~MCOperation() = default;
  virtual void start() = 0;
  virtual void cancel() { cancelled_ = true; stateDidChange(); }
  virtual bool isReady() const;  // all dependencies finished
  virtual bool isExecuting() const = 0;
  virtual bool isFinished() const = 0;
  virtual bool isConcurrent() const { return false; }
  bool isCancelled() const { return cancelled_; }
  void addDependency(const std::shared_ptr<MCOperation>& operation);
  std::vector<std::shared_ptr<MCOperation>> dependencies() const;
  virtual void setCompletionBlock(std::function<void()> block);
  std::function<void()> completionBlock() const;

 protected:
  // Called after any change of readiness, execution or finishing: wakes the queue and the
  // dependants, and runs the completion block once the operation has finished.
  void stateDidChange();
  void stateDidChangeNow();

 private:
  friend class MCOperationQueue;
  // Lock order: an operation may hold its lock while it tells its queue of a change (the
  // queue's lock comes after it); the queue asks its operations only without its own lock,
  // and no two operations' locks are held together.
  mutable platform::Mutex mutex_;
  std::atomic<bool> cancelled_{false};
  bool completionRun_ GUARDED_BY(mutex_) = false;
  std::vector<std::shared_ptr<MCOperation>> dependencies_ GUARDED_BY(mutex_);
  std::vector<std::weak_ptr<MCOperation>> dependants_ GUARDED_BY(mutex_);
  std::weak_ptr<MCOperationQueue> queue_ GUARDED_BY(mutex_);
  std::function<void()> completion_ GUARDED_BY(mutex_);
};

// Runs a block synchronously when started.
class MCBlockOperation : public MCOperation {
 public:
  static std::shared_ptr<MCBlockOperation> blockOperationWithBlock(std::function<void()> block);
  void start() override;
  bool isExecuting() const override { return state_ == 1; }
  bool isFinished() const override { return state_ == 2; }

 private:
  std::function<void()> block_;
  std::atomic<int> state_{0};
};

class MCOperationQueue : public std::enable_shared_from_this<MCOperationQueue> {
 public:
  static std::shared_ptr<MCOperationQueue> create() { return std::make_shared<MCOperationQueue>(); }
  void addOperation(const std::shared_ptr<MCOperation>& operation);
  void addOperations(const std::vector<std::shared_ptr<MCOperation>>& operations);
  std::vector<std::shared_ptr<MCOperation>> operations() const;
  long maxConcurrentOperationCount = -1;  // -1: as many as are ready
  void cancelAllOperations();
  // Re-examines the waiting operations (called by operations when their state changes).
  void operationsDidChange();
  // Forgets a finished operation, then re-examines the waiting ones.
  void operationDidFinish(const std::shared_ptr<MCOperation>& operation);

 private:
  mutable platform::Mutex mutex_;
  std::vector<std::shared_ptr<MCOperation>> waiting_ GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<MCOperation>> running_ GUARDED_BY(mutex_);
};
