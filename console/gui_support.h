// Small pieces that every twConsole window uses: text conversion between the program's byte
// strings (UTF-8) and Qt, message boxes titled with the program's name, the wait cursor, and
// control ids kept as object names ("id1126") so that tests and the code find controls alike.
#pragma once

#include <string>

#include <QMessageBox>
#include <QString>

class QWidget;

inline QString ToQt(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQt(const QString& text)
{
    return text.toUtf8().toStdString();
}

// "id<number>": the object name of a control with that dialog id or command id.
QString ControlName(int id);
// Gives `widget` the object name of control `id` and returns it.
template <typename Widget>
Widget* WithId(Widget* widget, int id)
{
    widget->setObjectName(ControlName(id));
    return widget;
}

// A message box with an OK button.
void ShowMessage(QWidget* parent, const std::string& text, QMessageBox::Icon icon = QMessageBox::Warning);
// A Yes/No question: true for Yes.
bool AskYesNo(QWidget* parent, const std::string& text, QMessageBox::Icon icon = QMessageBox::Question,
              bool defaultNo = false);

// The wait cursor for the life of the object.
class CWaitCursor {
public:
    CWaitCursor();
    ~CWaitCursor();
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};
