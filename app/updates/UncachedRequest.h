#pragma once

#include "app/AppClock.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslConfiguration>
#include <QUrl>
#include <chrono>
#include <memory>

namespace brimo::app::updates {

// A request that never answers from, nor writes to, the local cache, gives up when no bytes come
// for `timeout`, and trusts the authorities of `tls`.
inline QNetworkRequest uncachedRequest(const QUrl& url, std::chrono::milliseconds timeout,
                                       const QSslConfiguration& tls) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(static_cast<int>(timeout.count()));
    request.setSslConfiguration(tls);
    return request;
}

// The clock of the updater's deadlines unless a test gives its own: Qt's timers.
inline AppClock& updaterClock() {
    static QtAppClock clock;
    return clock;
}

// Aborts the reply once `deadline` has passed, however steadily its bytes come: the transfer
// time-out only measures silence, so a server dripping bytes would hold it for ever. The timer
// holds the reply weakly; cancel it once the reply is done with.
inline std::shared_ptr<AppTimer>
abortAtDeadline(AppClock& clock, std::chrono::milliseconds deadline, QNetworkReply* reply) {
    return clock.after(deadline, [reply = QPointer<QNetworkReply>(reply)] {
        if (reply) reply->abort();
    });
}

} // namespace brimo::app::updates
