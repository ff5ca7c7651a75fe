// What twConsole and twStudio windows share beside Qt's own dialog facilities: text conversion
// between the programs' byte strings (UTF-8) and Qt, control ids kept as object names ("id1126")
// so that tests and the code find controls alike, and the wait cursor. The engine never includes
// this; only the two GUI programs link it.
#pragma once

#include <string>

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

// The wait cursor for the life of the object.
class CWaitCursor
{
public:
    CWaitCursor();
    ~CWaitCursor();
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};
