// Small pieces that every twConsole window uses: the shared widget helpers, and message boxes
// titled with the program's name.
#pragma once

#include <string>

#include <QMessageBox>

#include "qt_support/widget_support.h"

class QWidget;

// A message box with an OK button.
void ShowMessage(QWidget* parent, const std::string& text, QMessageBox::Icon icon = QMessageBox::Warning);
// A Yes/No question: true for Yes.
bool AskYesNo(QWidget* parent, const std::string& text, QMessageBox::Icon icon = QMessageBox::Question,
              bool defaultNo = false);
