// Every message box of the desktop program goes through MessageBoxes::show. By default it shows
// a modal QMessageBox; tests install an answerer that records the box and answers it, so no
// human is needed. show() must be called on the window thread; a worker thread that wants a box
// hands the call to the window thread (see WindowCalls) and waits for the answer.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace vesprey::ui {

enum class BoxIcon { None, Information, Warning, Error, Question };
enum class BoxButtons { Ok, OkCancel };
enum class BoxAnswer { Ok, Cancel };

struct BoxRequest {
    QString text;
    QString caption;
    BoxIcon icon = BoxIcon::Information;
    BoxButtons buttons = BoxButtons::Ok;
};

class MessageBoxes {
public:
    using Answerer = std::function<BoxAnswer(const BoxRequest&)>;

    // Shows the box modally and returns the user's answer (Ok for a box with one button).
    static BoxAnswer show(QWidget* parent, const BoxRequest& request);

    // Convenience for the usual one-button box.
    static void inform(QWidget* parent, const QString& text, const QString& caption, BoxIcon icon);

    // Replaces the interactive box; an empty function restores it.
    static void setAnswerer(Answerer answerer);

    // The caption the evaluation's messages use.
    static QString defaultCaption();
};

}  // namespace vesprey::ui
