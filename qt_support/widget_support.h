// What twConsole and twStudio windows share beside Qt's own dialog facilities: text conversion
// between the programs' byte strings (UTF-8) and Qt, control ids kept as object names ("id1126")
// so that tests and the code find controls alike, the wait cursor, and message boxes titled with
// the program's name. The engine never includes
// this; only the two GUI programs link it.
#pragma once

#include <string>

#include <QMessageBox>
#include <QString>

inline QString ToQt(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQt(const QString& text)
{
    return text.toUtf8().toStdString();
}

// "id<number>": the object name of a control or command with that id.
QString ControlName(int id);
// Gives `widget` the object name of control `id` and returns it.
template <typename Widget>
Widget* WithId(Widget* widget, int id)
{
    widget->setObjectName(ControlName(id));
    return widget;
}

// The title of every message box of the program: its name, set once at start.
void SetMessageTitle(const QString& title);
const QString& MessageTitle();

// A message box with an OK button; returns when it is closed. The texts of the engine and the
// console's own are byte strings, the studio's mostly Qt's.
void ShowMessage(QWidget* parent, const QString& text, QMessageBox::Icon icon = QMessageBox::Warning);
inline void ShowMessage(QWidget* parent, const std::string& text, QMessageBox::Icon icon = QMessageBox::Warning)
{
    ShowMessage(parent, ToQt(text), icon);
}
inline void ShowMessage(QWidget* parent, const char* text, QMessageBox::Icon icon = QMessageBox::Warning)
{
    ShowMessage(parent, QString::fromUtf8(text), icon);
}

// The wait cursor for the life of the object.
class CWaitCursor
{
public:
    CWaitCursor();
    ~CWaitCursor();
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};
