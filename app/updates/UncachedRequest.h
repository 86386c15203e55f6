#pragma once

#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>
#include <chrono>

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

} // namespace brimo::app::updates
