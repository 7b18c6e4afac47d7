// One desktop program per Sign.db: the first start on a Sign.db holds a lock named after the
// file's canonical path (and the user) and listens on a local socket of the same name; a later
// start on the same file asks that one to show its window, says so and ends.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <filesystem>
#include <memory>

class QLocalSocket;

namespace vesprey::ui {

// "vesprey-<uid>-<hash>": the name of the lock and of the local socket for the Sign.db at
// `database`, the same for every spelling of its path (relative, through links).
QString instanceName(const std::filesystem::path& database);

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(const std::filesystem::path& database, QObject* parent = nullptr);

    // True when this process is the first on its Sign.db (or the lock cannot be made at all):
    // it then listens for later starts. False when another program holds it.
    bool claim();
    // Asks the program that holds the lock to show its window; true once it has answered that
    // it did.
    bool askToShow();

signals:
    // A later start on the same Sign.db asked for the window.
    void showRequested();

private:
    void answer(QLocalSocket* socket);

    QString name_;
    QLockFile lock_;
    QLocalServer server_;
};

}  // namespace vesprey::ui
