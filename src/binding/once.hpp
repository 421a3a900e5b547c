// Process-wide values computed on first need, at most once at a time.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>

namespace vantor::binding {

// A thread that must wait for another thread's computation waits without the interpreter
// lock, so the computing thread can take it; the lock is taken back before the
// computation runs. A computation that throws leaves the cell empty for the next need.
// `init` must not need the same cell again (that would wait on itself).
template <class T>
class OnceCell {
  public:
    template <class Init>
    T& get_or_init(Init&& init) {
        if (ready_.load(std::memory_order_acquire)) return *value_;
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            PyThreadState* thread = PyEval_SaveThread();
            lock.lock();
            PyEval_RestoreThread(thread);
        }
        if (!ready_.load(std::memory_order_relaxed)) {
            value_.emplace(std::forward<Init>(init)());
            ready_.store(true, std::memory_order_release);
        }
        return *value_;
    }

    // The value, or null before the first success.
    T* get() { return ready_.load(std::memory_order_acquire) ? &*value_ : nullptr; }

  private:
    std::mutex mutex_;
    std::atomic<bool> ready_{false};
    std::optional<T> value_;
};

}  // namespace vantor::binding
