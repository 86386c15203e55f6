#include "app/IpcThread.h"

#include <QSocketNotifier>
#include <asio/post.hpp>
#include <deque>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

namespace brimo::app {

namespace {

// Jobs change hands under a mutex of ours and the main thread is woken through an eventfd, so that
// no object crosses between the threads inside Qt, where the thread checker cannot follow it.
class MainThreadQueue {
public:
    MainThreadQueue()
        : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
        , notifier_(wakeFd_, QSocketNotifier::Read) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { run(); });
    }

    void post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        const uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    }

private:
    void run() {
        uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(wakeFd_, &count, sizeof count);
        std::deque<std::function<void()>> jobs;
        {
            std::lock_guard lock(mutex_);
            jobs.swap(jobs_);
        }
        for (auto& job : jobs)
            job();
    }

    const int wakeFd_;
    QSocketNotifier notifier_;
    std::mutex mutex_;
    std::deque<std::function<void()>> jobs_;
};

// Created by the first IpcThread, on the main thread; never destroyed, as late jobs may come.
MainThreadQueue& mainThreadQueue() {
    static auto* queue = new MainThreadQueue;
    return *queue;
}

} // namespace

IpcThread::IpcThread()
    : work_(asio::make_work_guard(context_))
    , thread_([this] { context_.run(); }) {
    mainThreadQueue();
}

IpcThread::~IpcThread() {
    work_.reset();
    // Connections may keep reads pending for ever; what was posted before still runs first.
    asio::post(context_, [this] { context_.stop(); });
    thread_.join();
}

void onMainThread(std::function<void()> job) {
    mainThreadQueue().post(std::move(job));
}

} // namespace brimo::app
