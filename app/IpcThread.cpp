#include "app/IpcThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <asio/post.hpp>

namespace brimo::app {

IpcThread::IpcThread()
    : work_(asio::make_work_guard(context_))
    , thread_([this] { context_.run(); }) {}

IpcThread::~IpcThread() {
    work_.reset();
    // Connections may keep reads pending for ever; what was posted before still runs first.
    asio::post(context_, [this] { context_.stop(); });
    thread_.join();
}

void onMainThread(std::function<void()> job) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(job), Qt::QueuedConnection);
}

} // namespace brimo::app
