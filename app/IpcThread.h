#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <functional>
#include <thread>

// The app's IPC runs on a loop of its own, off Qt's main thread; results come back to the main
// thread through onMainThread().
namespace brimo::app {

class IpcThread {
public:
    IpcThread();
    // Runs what was posted before, then stops the loop and joins its thread.
    ~IpcThread();
    IpcThread(const IpcThread&) = delete;
    IpcThread& operator=(const IpcThread&) = delete;

    asio::any_io_executor executor() { return context_.get_executor(); }

private:
    asio::io_context context_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

// Queues `job` for Qt's main thread (the application object's thread), where jobs run in the
// order they were queued. The first IpcThread must be made on the main thread.
void onMainThread(std::function<void()> job);

} // namespace brimo::app
