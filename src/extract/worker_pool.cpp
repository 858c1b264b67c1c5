#include "extract/worker_pool.h"

#include <system_error>
#include <utility>

WorkerPool::WorkerPool(unsigned workers) {
  if (workers <= 1) {
    return;
  }
  threads_.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) {
    try {
      threads_.emplace_back([this] { RunWorker(); });
    } catch (const std::system_error&) {
      // Fewer threads only make the extraction slower; with none at all the
      // tasks run on the calling thread.
      break;
    }
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  taskQueued_.notify_all();
  for (std::thread& thread : threads_) {
    thread.join();
  }
}

unsigned WorkerPool::WorkerCount() const {
  return threads_.empty() ? 1 : static_cast<unsigned>(threads_.size());
}

void WorkerPool::Submit(Work& work, Task task) {
  if (threads_.empty()) {
    task(callerScratch_);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(Queued{&work, std::move(task)});
    ++work.tasksLeft;
  }
  taskQueued_.notify_one();
}

bool WorkerPool::IsDone(const Work& work) {
  std::lock_guard<std::mutex> lock(mutex_);
  return work.tasksLeft == 0;
}

void WorkerPool::Wait(const Work& work) {
  std::unique_lock<std::mutex> lock(mutex_);
  taskDone_.wait(lock, [&work] { return work.tasksLeft == 0; });
}

void WorkerPool::RunWorker() {
  zip::ZipJobScratch scratch;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    taskQueued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) {
      return;  // stopping, and everything queued has run
    }
    Queued next = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    next.task(scratch);
    // The task's own storage goes before the work is reported done: the
    // owner may release what it captured as soon as it sees that.
    next.task = nullptr;
    lock.lock();
    --next.work->tasksLeft;
    // Only the walk waits, but for any one of its works.
    taskDone_.notify_all();
  }
}
