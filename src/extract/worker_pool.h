// The threads that write the extraction's file data while the walk goes on.
#ifndef STARTER_EXTRACT_WORKER_POOL_H
#define STARTER_EXTRACT_WORKER_POOL_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "zip/zip_reader.h"

/// A fixed set of threads running queued tasks in order, each with its own
/// zip::ZipJobScratch. Made, fed and waited on by one thread; not copyable.
class WorkerPool {
 public:
  /// Runs once, on one thread, with that thread's scratch; must not throw.
  using Task = std::function<void(zip::ZipJobScratch&)>;

  /// What the owner waits for: done once every task submitted for it has run,
  /// and all they wrote is visible to the owner once IsDone answered true or
  /// Wait returned. Must outlive its tasks.
  struct Work {
    unsigned tasksLeft = 0;  // the pool's, under its lock
  };

  /// Starts `workers` threads, or as many as the system allows. With 1 (or
  /// 0), or when none starts, Submit runs each task at once on the caller.
  explicit WorkerPool(unsigned workers);

  /// Runs every task still queued, then joins the threads.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  /// The number of threads, or 1 when tasks run on the caller.
  unsigned WorkerCount() const;

  /// Adds `task` to `work` and queues it; throws std::bad_alloc, `work`
  /// unchanged, when it cannot.
  void Submit(Work& work, Task task);

  /// True when every task of `work` has run (also when it has none).
  bool IsDone(const Work& work);

  /// Blocks until every task of `work` has run.
  void Wait(const Work& work);

 private:
  struct Queued {
    Work* work;
    Task task;
  };

  void RunWorker();

  std::mutex mutex_;
  std::condition_variable taskQueued_;
  std::condition_variable taskDone_;
  std::deque<Queued> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  zip::ZipJobScratch callerScratch_;  // for tasks run on the calling thread
};

#endif  // STARTER_EXTRACT_WORKER_POOL_H
