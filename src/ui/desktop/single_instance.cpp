#include "ui/desktop/single_instance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QThread>
#include <system_error>

namespace vesprey::ui {
namespace {

constexpr char kShow[] = "show\n";
constexpr char kShown[] = "shown\n";
// How long a later start waits for the first one: it may still be starting (holding the lock
// before it listens), or busy for a moment on its window thread.
constexpr int kAnswerMs = 10000;
constexpr int kConnectTries = 20;
constexpr int kConnectPauseMs = 250;

}  // namespace

QString instanceName(const std::filesystem::path& database) {
    std::error_code ignored;
    std::filesystem::path canonical = std::filesystem::weakly_canonical(database, ignored);
    if (canonical.empty()) {
        canonical = std::filesystem::absolute(database, ignored).lexically_normal();
    }
    const QByteArray hash = QCryptographicHash::hash(QByteArray::fromStdString(canonical.string()),
                                                     QCryptographicHash::Sha256)
                                .toHex()
                                .left(24);
    return QStringLiteral("vesprey-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash));
}

SingleInstance::SingleInstance(const std::filesystem::path& database, QObject* parent)
    : QObject(parent),
      name_(instanceName(database)),
      lock_(QDir::temp().filePath(name_ + QStringLiteral(".lock"))) {
    // A lock left by a program that died is taken over at once (QLockFile checks its process).
    lock_.setStaleLockTime(0);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { answer(socket); });
        }
    });
}

bool SingleInstance::claim() {
    if (!lock_.tryLock(0) && lock_.error() == QLockFile::LockFailedError) {
        return false;
    }
    // First here (or without a lock where none can be made): a socket left by a program that
    // died goes first.
    QLocalServer::removeServer(name_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    server_.listen(name_);
    return true;
}

bool SingleInstance::askToShow() {
    QLocalSocket socket;
    for (int attempt = 0; attempt < kConnectTries; ++attempt) {
        socket.connectToServer(name_);
        if (socket.waitForConnected(kAnswerMs / kConnectTries)) {
            break;
        }
        socket.abort();
        QThread::msleep(kConnectPauseMs);
    }
    if (socket.state() != QLocalSocket::ConnectedState) {
        return false;
    }
    socket.write(kShow);
    if (!socket.waitForBytesWritten(kAnswerMs)) {
        return false;
    }
    QByteArray answered;
    while (!answered.endsWith('\n') && socket.waitForReadyRead(kAnswerMs)) {
        answered += socket.readAll();
    }
    return answered == kShown;
}

void SingleInstance::answer(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        return;
    }
    if (socket->readLine() == kShow) {
        emit showRequested();
        socket->write(kShown);
        socket->flush();
    }
    socket->disconnectFromServer();
}

}  // namespace vesprey::ui
