// A long call from Python that Ctrl-C can end (the module's reads, writes,
// scans and tags).
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace qel::python {

// Runs `work` (C++ only, no Python) on a thread of its own while this one,
// without the GIL, looks for signals every 50 ms: Ctrl-C raises
// KeyboardInterrupt within that, after `withdraw` has taken back what has
// not begun. What has begun ends on its thread, which holds what it needs.
template <class Result>
inline Result Interruptible(std::function<Result()> work, const std::function<void()>& withdraw) {
    auto task = std::make_shared<std::packaged_task<Result()>>(std::move(work));
    std::future<Result> done = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    for (;;) {
        {
            pybind11::gil_scoped_release release;
            if (done.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready) break;
        }
        if (PyErr_CheckSignals() != 0) {
            withdraw();
            throw pybind11::error_already_set();
        }
    }
    return done.get();
}

}  // namespace qel::python
