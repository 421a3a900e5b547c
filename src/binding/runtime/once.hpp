// Process-wide values computed on first need, at most once at a time.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "errors.hpp"

namespace vantor::binding {

// A thread that must wait for another thread's computation waits without the interpreter
// lock, so the computing thread can take it; the lock is taken back before the
// computation runs. A computation that throws leaves the cell empty for the next need.
//
// The computation runs Python code (imports, attribute look-ups), and Python code can call
// back into the module on the same thread: a garbage-collector callback, a finaliser or a
// signal handler. Such a call needs the value being computed; waiting for it would wait
// on itself forever, so it is refused with RuntimeError and the computation goes on.
template <class T>
class OnceCell {
  public:
    template <class Init>
    T& get_or_init(Init&& init) {
        if (ready_.load(std::memory_order_acquire)) return *value_;
        if (computing_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            throw_error(PyExc_RuntimeError,
                        "_vantor was used again by the thread that is setting it up");
        }
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            PyThreadState* thread = PyEval_SaveThread();
            lock.lock();
            PyEval_RestoreThread(thread);
        }
        if (!ready_.load(std::memory_order_relaxed)) {
            Computing mark(computing_);
            value_.emplace(std::forward<Init>(init)());
            ready_.store(true, std::memory_order_release);
        }
        return *value_;
    }

    // The value, or null before the first success.
    T* get() { return ready_.load(std::memory_order_acquire) ? &*value_ : nullptr; }

  private:
    // Names the computing thread for as long as the computation runs, however it ends.
    class Computing {
      public:
        explicit Computing(std::atomic<std::thread::id>& slot) : slot_(slot) {
            slot_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        ~Computing() { slot_.store(std::thread::id(), std::memory_order_relaxed); }
        Computing(const Computing&) = delete;
        Computing& operator=(const Computing&) = delete;

      private:
        std::atomic<std::thread::id>& slot_;
    };

    std::mutex mutex_;
    std::atomic<bool> ready_{false};
    std::atomic<std::thread::id> computing_{};
    std::optional<T> value_;
};

}  // namespace vantor::binding
