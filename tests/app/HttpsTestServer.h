#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslServer>
#include <QString>
#include <QUrl>
#include <chrono>
#include <map>
#include <optional>
#include <vector>

class QSslSocket;

namespace brimo::test {

// An HTTPS/1.1 server on 127.0.0.1 for tests, on Qt's main thread. Its EC key and self-signed
// certificate (for "localhost" and 127.0.0.1) are made when it starts; clients trust it through
// clientConfiguration(). Answers are set per path; every request is recorded.
class HttpsTestServer : public QObject {
public:
    struct Response {
        int status = 200;
        QByteArray body;
        // Time before the answer is sent.
        std::chrono::milliseconds delay{0};
        // The answer waits for release(path).
        bool held = false;
        // False announces one byte more than the body, so the answer never completes.
        bool complete = true;
        // After the body, filler without a length and without end: one byte each `stream`, or as
        // fast as the client takes it when zero (up to kStreamSafetyBytes, so that a client
        // without a limit fails its test rather than the machine).
        std::optional<std::chrono::milliseconds> stream{};
    };
    static constexpr qint64 kStreamSafetyBytes = 64 * 1024 * 1024;

    struct Request {
        QByteArray method;
        QByteArray path;
        // Header names in lower case.
        std::map<QByteArray, QByteArray> headers;
        bool answered = false;
        // The client closed the connection before the answer was sent.
        bool closedBeforeAnswer = false;
        // Filler bytes sent after the body, and whether the client closed the stream.
        qint64 streamed = 0;
        bool closedWhileStreaming = false;
    };

    // Check isListening(): it fails when the certificate cannot be made or no port is free.
    HttpsTestServer();
    ~HttpsTestServer() override;

    bool isListening() const { return server_.isListening(); }
    // Unknown paths answer 404 with an empty body.
    void handle(const QByteArray& path, Response response);
    // Answers the held requests for `path`, and from now on answers it without holding.
    void release(const QByteArray& path);
    QUrl url(const QByteArray& path) const;
    // The default configuration that also trusts this server's certificate.
    QSslConfiguration clientConfiguration() const;

    const std::vector<Request>& requests() const { return requests_; }
    // The first request for `path`, if any.
    std::optional<Request> request(const QByteArray& path) const;

private:
    void accept();
    void readRequests(QSslSocket* socket);
    void answer(QSslSocket* socket, size_t index);
    void stream(QSslSocket* socket, size_t index, std::chrono::milliseconds interval);

    QSslServer server_;
    QSslCertificate certificate_;
    QHash<QByteArray, Response> responses_;
    std::vector<Request> requests_;
    // Per connection: its unread bytes and the request waiting for its answer, if any.
    struct Connection {
        QByteArray buffer;
        std::optional<size_t> pending;
        std::optional<size_t> streaming;
    };
    std::map<QSslSocket*, Connection> connections_;
};

} // namespace brimo::test
