#include "daemon/worker.h"

#include <exception>

#include "daemon/log.h"

worker::worker() : running(true), worker_thread(&worker::run, this) {}

worker::~worker() {
  {
    std::lock_guard lock(tasks_mutex);
    running = false;
    tasks_cv.notify_one();
  }
  worker_thread.join();
}

void worker::add_task(const std::function<void()>& task) {
  std::lock_guard lock(tasks_mutex);
  try {
    tasks.push_back(task);
  } catch (const std::exception& e) {
    SNS_LOG(sensors_log::error, "failed to add new task, %s", e.what());
    return;
  }
  tasks_cv.notify_one();
}

void worker::run() {
  while (running) {
    std::unique_lock lock(tasks_mutex);
    tasks_cv.wait(lock, [this] { return !tasks.empty() || !running; });
    if (running && !tasks.empty()) {
      std::function<void()> task = std::move(tasks.front());
      tasks.pop_front();
      lock.unlock();
      if (task) {
        // Anything that is not an std::exception leaves the thread and ends the process.
        try {
          task();
        } catch (const std::exception& e) {
          SNS_LOG(sensors_log::error, "task failed, %s", e.what());
        }
      }
      // The finished task, and all it captured, is destroyed under the lock.
      lock.lock();
    }
  }
}
