// Texts of the edit boxes as the core sees them. Qt's text widgets turn CR LF and CR into plain
// line feeds, so a header text or an answer that went into a box would come back changed. A text
// the program put into a box therefore comes back byte for byte while the box still shows it;
// once the user has changed it, its line ends come back as CR LF, as the header lines, bodies
// and cookies of a template are written.
#pragma once

#include "text/text.h"

class QLineEdit;
class QPlainTextEdit;

namespace vesprey::ui {

void setEditText(QPlainTextEdit* box, const Text& text);
Text editText(const QPlainTextEdit* box);

// The line shows the start of the text, its cursor at 0.
void setEditText(QLineEdit* box, const Text& text);
Text editText(const QLineEdit* box);

}  // namespace vesprey::ui
