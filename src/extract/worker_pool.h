// The threads that write the extraction's file data while the walk over the
// archive goes on on the main thread.
#ifndef STARTER_EXTRACT_WORKER_POOL_H
#define STARTER_EXTRACT_WORKER_POOL_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "zip/zip_reader.h"

/// A fixed set of threads running queued tasks in the order they came, each
/// thread with its own zip::ZipJobScratch. Made, fed and waited on by one
/// thread (the walk's); not copyable.
class WorkerPool {
 public:
  /// A task runs once, on one thread, with that thread's scratch; it must not
  /// throw.
  using Task = std::function<void(zip::ZipJobScratch&)>;

  /// A piece of work the owner waits for, made of one or more tasks: done
  /// once every task submitted for it has run. Everything a task wrote is
  /// visible to the owner after IsDone answered true or Wait returned. Must
  /// outlive its tasks.
  struct Work {
    unsigned tasksLeft = 0;  // the pool's, under its lock
  };

  /// Starts `workers` threads, or as many of them as the system allows. With
  /// 1 (or 0), or when no thread starts, Submit runs each task at once on the
  /// calling thread.
  explicit WorkerPool(unsigned workers);

  /// Runs every task still queued, then joins the threads.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  /// The number of threads, or 1 when tasks run on the calling thread.
  unsigned WorkerCount() const;

  /// Adds `task` to `work` and queues it. Throws std::bad_alloc when it
  /// cannot be queued; `work` is then as it was.
  void Submit(Work& work, Task task);

  /// True when every task of `work` has run (also for work without tasks).
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
