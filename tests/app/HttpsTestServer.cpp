#include "tests/app/HttpsTestServer.h"

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QSslKey>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>

namespace brimo::test {

namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A fresh EC key and a certificate for it, valid for a day, made by the openssl tool.
std::pair<QSslKey, QSslCertificate> makeIdentity() {
    QTemporaryDir dir;
    const QString key = dir.filePath("key.pem");
    const QString certificate = dir.filePath("certificate.pem");
    QProcess openssl;
    openssl.start("openssl",
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-keyout", key, "-out", certificate, "-days", "1", "-subj",
                   "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"});
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0)
        return {QSslKey(), QSslCertificate()};
    return {QSslKey(readFile(key), QSsl::Ec), QSslCertificate(readFile(certificate))};
}

QByteArray reason(int status) {
    return status >= 200 && status <= 299 ? "OK" : "Failed";
}

} // namespace

HttpsTestServer::HttpsTestServer() {
    const auto [key, certificate] = makeIdentity();
    if (key.isNull() || certificate.isNull()) return;
    certificate_ = certificate;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setPrivateKey(key);
    configuration.setLocalCertificate(certificate);
    server_.setSslConfiguration(configuration);
    connect(&server_, &QTcpServer::pendingConnectionAvailable, this, &HttpsTestServer::accept);
    server_.listen(QHostAddress::LocalHost);
}

HttpsTestServer::~HttpsTestServer() {
    // The sockets are the server's children; their signals must not reach a half-destroyed
    // object.
    for (const auto& [socket, connection] : connections_)
        socket->disconnect(this);
}

void HttpsTestServer::handle(const QByteArray& path, Response response) {
    responses_.insert(path, std::move(response));
}

void HttpsTestServer::release(const QByteArray& path) {
    if (const auto known = responses_.find(path); known != responses_.end()) known->held = false;
    std::vector<std::pair<QSslSocket*, size_t>> waiting;
    for (const auto& [socket, connection] : connections_)
        if (connection.pending && requests_[*connection.pending].path == path)
            waiting.emplace_back(socket, *connection.pending);
    for (const auto& [socket, index] : waiting)
        answer(socket, index);
}

QUrl HttpsTestServer::url(const QByteArray& path) const {
    return QUrl(QString("https://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path));
}

QSslConfiguration HttpsTestServer::clientConfiguration() const {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(certificate_);
    return configuration;
}

std::optional<HttpsTestServer::Request> HttpsTestServer::request(const QByteArray& path) const {
    for (const Request& request : requests_)
        if (request.path == path) return request;
    return std::nullopt;
}

void HttpsTestServer::accept() {
    while (auto* socket = qobject_cast<QSslSocket*>(server_.nextPendingConnection())) {
        connections_[socket];
        connect(socket, &QSslSocket::readyRead, this, [this, socket] { readRequests(socket); });
        connect(socket, &QSslSocket::disconnected, this, [this, socket] {
            const auto pending = connections_[socket].pending;
            if (pending) requests_[*pending].closedBeforeAnswer = true;
            if (const auto streaming = connections_[socket].streaming)
                requests_[*streaming].closedWhileStreaming = true;
            connections_.erase(socket);
            socket->disconnect(this);
            socket->deleteLater();
        });
        readRequests(socket);
    }
}

// Requests are GETs without a body; a connection carries one at a time.
void HttpsTestServer::readRequests(QSslSocket* socket) {
    Connection& connection = connections_[socket];
    connection.buffer += socket->readAll();
    if (connection.pending) return;
    const qsizetype end = connection.buffer.indexOf("\r\n\r\n");
    if (end < 0) return;
    const QList<QByteArray> lines = connection.buffer.left(end).split('\n');
    connection.buffer.remove(0, end + 4);

    Request request;
    const QList<QByteArray> start = lines.front().trimmed().split(' ');
    request.method = start.value(0);
    request.path = start.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers[lines[i].left(colon).trimmed().toLower()] =
                lines[i].mid(colon + 1).trimmed();
    }
    requests_.push_back(std::move(request));
    const size_t index = requests_.size() - 1;
    connection.pending = index;

    const Response response = responses_.value(requests_[index].path);
    if (!response.held)
        QTimer::singleShot(response.delay, socket,
                           [this, socket, index] { answer(socket, index); });
}

void HttpsTestServer::answer(QSslSocket* socket, size_t index) {
    auto found = connections_.find(socket);
    if (found == connections_.end()) return;
    const auto known = responses_.constFind(requests_[index].path);
    const Response response =
        known != responses_.cend() ? *known : Response{404, {}, {}, false, true};
    const qint64 length = response.body.size() + (response.complete ? 0 : 1);
    // A stream ends only with the connection.
    const QByteArray framing = response.stream
                                   ? QByteArray("\r\nConnection: close")
                                   : "\r\nContent-Length: " + QByteArray::number(length);
    socket->write("HTTP/1.1 " + QByteArray::number(response.status) + " " +
                  reason(response.status) + "\r\nContent-Type: application/octet-stream" + framing +
                  "\r\n\r\n" + response.body);
    requests_[index].answered = true;
    found->second.pending.reset();
    if (response.stream) return stream(socket, index, *response.stream);
    if (response.complete) readRequests(socket);
}

void HttpsTestServer::stream(QSslSocket* socket, size_t index, std::chrono::milliseconds interval) {
    connections_[socket].streaming = index;
    auto* timer = new QTimer(socket);
    connect(timer, &QTimer::timeout, this, [this, socket, index, interval, timer] {
        Request& request = requests_[index];
        if (interval.count() > 0) {
            socket->write(" ");
            ++request.streamed;
            return;
        }
        // Kept topped up while the client reads.
        constexpr qint64 kChunk = 256 * 1024;
        if (request.streamed >= kStreamSafetyBytes) return timer->stop();
        if (socket->bytesToWrite() + socket->encryptedBytesToWrite() >= kChunk) return;
        socket->write(QByteArray(kChunk, ' '));
        request.streamed += kChunk;
    });
    timer->start(interval.count() > 0 ? interval : std::chrono::milliseconds(1));
}

} // namespace brimo::test
