#include "ui/dialogs/edit_text.h"

#include <QByteArray>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVariant>
#include <optional>

#include "ui/qt_text.h"

namespace vesprey::ui {
namespace {

// Dynamic properties of the box: the program's text and what the box showed for it.
constexpr const char* kProgramText = "vespreyProgramText";
constexpr const char* kShownText = "vespreyShownText";

void remember(QObject* box, const Text& text, const QString& shown) {
    box->setProperty(kProgramText, QByteArray(text.data(), static_cast<qsizetype>(text.size())));
    box->setProperty(kShownText, shown);
}

// The program's text while the box still shows it.
std::optional<Text> programText(const QObject* box, const QString& shown) {
    const QVariant stored = box->property(kProgramText);
    if (!stored.isValid() || box->property(kShownText).toString() != shown) {
        return std::nullopt;
    }
    const QByteArray bytes = stored.toByteArray();
    return Text(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace

void setEditText(QPlainTextEdit* box, const Text& text) {
    box->setPlainText(fromAnsi(text));
    remember(box, text, box->toPlainText());
}

Text editText(const QPlainTextEdit* box) {
    const QString shown = box->toPlainText();
    if (auto text = programText(box, shown)) {
        return *text;
    }
    QString typed = shown;
    typed.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return toAnsi(typed);
}

void setEditText(QLineEdit* box, const Text& text) {
    box->setText(fromAnsi(text));
    // A long address shows its start (its scheme and host), not its end.
    box->setCursorPosition(0);
    remember(box, text, box->text());
}

Text editText(const QLineEdit* box) {
    const QString shown = box->text();
    if (auto text = programText(box, shown)) {
        return *text;
    }
    return toAnsi(shown);
}

}  // namespace vesprey::ui
