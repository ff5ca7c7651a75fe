// Small pieces that every twConsole window uses: the shared widget helpers with their message
// box, and the console's Yes/No question.
#pragma once

#include <string>

#include <QMessageBox>

#include "qt_support/widget_support.h"

class QWidget;

// A Yes/No question: true for Yes.
bool AskYesNo(QWidget* parent, const std::string& text, QMessageBox::Icon icon = QMessageBox::Question,
              bool defaultNo = false);
