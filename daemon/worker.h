// A worker is one thread with a first-in-first-out queue of tasks in front of
// it. Tasks run one at a time on the worker's own thread, in the order they
// were added, never while the queue lock is held.
//
// Threads: add_task may be called from any thread, including from a task
// running on this same worker. The destructor must not be called from the
// worker's own thread; it waits for the running task to return and destroys
// the queued ones unrun.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class worker {
 public:
  // Starts the thread; throws std::system_error when it cannot be created.
  worker();
  ~worker();

  worker(const worker&) = delete;
  worker& operator=(const worker&) = delete;

  // Copies `task` to the back of the queue. An std::exception while copying or
  // queueing is logged and the task dropped; the caller is not told.
  void add_task(const std::function<void()>& task);

 private:
  void run();

  // Declaration order matters: the thread, started last, uses all the others.
  std::atomic<bool> running;
  std::deque<std::function<void()>> tasks;
  std::mutex tasks_mutex;
  std::condition_variable tasks_cv;
  std::thread worker_thread;
};
