#include "networking/operation_queue.h"

#include <algorithm>

#include "platform/dispatch.h"
#include "platform/mutex.h"

bool MCOperation::isReady() const {
  platform::MutexLock lock(mutex_);
  return std::all_of(dependencies_.begin(), dependencies_.end(), [](const auto& d) { return d->isFinished(); });
}

void MCOperation::addDependency(const std::shared_ptr<MCOperation>& operation) {
  {
    platform::MutexLock lock(mutex_);
    dependencies_.push_back(operation);
  }
  platform::MutexLock lock(operation->mutex_);
  operation->dependants_.push_back(weak_from_this());
}

std::vector<std::shared_ptr<MCOperation>> MCOperation::dependencies() const {
  platform::MutexLock lock(mutex_);
  return dependencies_;
}

void MCOperation::setCompletionBlock(std::function<void()> block) {
  platform::MutexLock lock(mutex_);
  completion_ = std::move(block);
}

std::function<void()> MCOperation::completionBlock() const {
  platform::MutexLock lock(mutex_);
  return completion_;
}

void MCOperation::stateDidChange() {
  // Asynchronous, so no caller's lock is held while the queue and dependants are examined.
  if (auto self = weak_from_this().lock())
    platform::dispatch::async(platform::dispatch::globalQueue(), [self] { self->stateDidChangeNow(); });
}

void MCOperation::stateDidChangeNow() {
  std::shared_ptr<MCOperationQueue> queue;
  std::vector<std::shared_ptr<MCOperation>> dependants;
  std::function<void()> completion;
  bool finished = isFinished();
  {
    platform::MutexLock lock(mutex_);
    queue = queue_.lock();
    if (finished) {
      for (auto& w : dependants_)
        if (auto d = w.lock()) dependants.push_back(d);
      if (!completionRun_) {
        completionRun_ = true;
        completion = completion_;
      }
    }
  }
  if (completion) completion();
  if (queue) {
    if (finished) queue->operationDidFinish(shared_from_this());
    else queue->operationsDidChange();
  }
  for (auto& d : dependants) {
    std::shared_ptr<MCOperationQueue> q;
    {
      platform::MutexLock lock(d->mutex_);
      q = d->queue_.lock();
    }
    if (q && q != queue) q->operationsDidChange();
  }
}

std::shared_ptr<MCBlockOperation> MCBlockOperation::blockOperationWithBlock(std::function<void()> block) {
  auto op = std::make_shared<MCBlockOperation>();
  op->block_ = std::move(block);
  return op;
}

void MCBlockOperation::start() {
  int expected = 0;
  if (!state_.compare_exchange_strong(expected, 1)) return;
  if (!isCancelled() && block_) block_();
  state_ = 2;
  stateDidChangeNow();
}

void MCOperationQueue::addOperation(const std::shared_ptr<MCOperation>& operation) {
  {
    platform::MutexLock lock(operation->mutex_);
    operation->queue_ = weak_from_this();
  }
  {
    platform::MutexLock lock(mutex_);
    waiting_.push_back(operation);
  }
  operationsDidChange();
}

void MCOperationQueue::addOperations(const std::vector<std::shared_ptr<MCOperation>>& operations) {
  for (const auto& op : operations) addOperation(op);
}

std::vector<std::shared_ptr<MCOperation>> MCOperationQueue::operations() const {
  platform::MutexLock lock(mutex_);
  auto all = running_;
  all.insert(all.end(), waiting_.begin(), waiting_.end());
  return all;
}

void MCOperationQueue::cancelAllOperations() {
  for (auto& op : operations()) op->cancel();
}

void MCOperationQueue::operationDidFinish(const std::shared_ptr<MCOperation>& operation) {
  {
    platform::MutexLock lock(mutex_);
    auto it = std::find(running_.begin(), running_.end(), operation);
    if (it != running_.end()) {
      *it = std::move(running_.back());
      running_.pop_back();
    }
  }
  operationsDidChange();
}

void MCOperationQueue::operationsDidChange() {
  // Only the waiting operations are examined (running ones report their own end), and the
  // list is copied only when something waits: a queue of operations without dependencies
  // starts each as it is added and never copies.
  std::vector<std::shared_ptr<MCOperation>> waiting;
  std::shared_ptr<MCOperation> only;  // the common case, one waiting: no list is built
  size_t running = 0;
  {
    platform::MutexLock lock(mutex_);
    if (waiting_.empty()) return;
    if (waiting_.size() == 1) only = waiting_.front();
    else waiting = waiting_;
    running = running_.size();
  }
  // Operations are asked outside the queue's lock, so an operation may hold its own lock
  // while it tells the queue about a change.
  auto startNow = [](const std::shared_ptr<MCOperation>& op) {
    // A concurrent operation's start only hands its work on, so it runs right here.
    if (op->isConcurrent()) op->start();
    else platform::dispatch::async(platform::dispatch::globalQueue(), [op] { op->start(); });
  };
  if (only) {
    if (maxConcurrentOperationCount >= 0 && maxConcurrentOperationCount <= static_cast<long>(running)) return;
    if (!only->isReady() && !only->isCancelled()) return;
    {
      platform::MutexLock lock(mutex_);
      // Another caller may have taken it already: start it only while it still waits.
      auto it = std::find(waiting_.begin(), waiting_.end(), only);
      if (it == waiting_.end()) return;
      waiting_.erase(it);
      running_.push_back(only);
    }
    startNow(only);
    return;
  }
  std::vector<std::shared_ptr<MCOperation>> toStart;
  long room = maxConcurrentOperationCount < 0 ? static_cast<long>(waiting.size())
                                              : maxConcurrentOperationCount - static_cast<long>(running);
  for (const auto& op : waiting)
    if (static_cast<long>(toStart.size()) < room && (op->isReady() || op->isCancelled())) toStart.push_back(op);
  if (toStart.empty()) return;
  {
    platform::MutexLock lock(mutex_);
    // Another caller may have taken some of these already: start only what is still waiting.
    std::vector<std::shared_ptr<MCOperation>> mine;
    for (const auto& op : toStart) {
      auto it = std::find(waiting_.begin(), waiting_.end(), op);
      if (it == waiting_.end()) continue;
      waiting_.erase(it);
      mine.push_back(op);
    }
    running_.insert(running_.end(), mine.begin(), mine.end());
    toStart.swap(mine);
  }
  for (auto& op : toStart) startNow(op);
}
