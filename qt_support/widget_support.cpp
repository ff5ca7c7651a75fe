#include "qt_support/widget_support.h"

#include <QApplication>
#include <QCursor>

namespace {

QString& Title()
{
    static QString title;
    return title;
}

}  // namespace

void SetMessageTitle(const QString& title)
{
    Title() = title;
}

const QString& MessageTitle()
{
    return Title();
}

void ShowMessage(QWidget* parent, const QString& text, QMessageBox::Icon icon)
{
    QMessageBox box(icon, MessageTitle(), text, QMessageBox::Ok, parent);
    box.exec();
}

QString ControlName(int id)
{
    return QStringLiteral("id%1").arg(id);
}

CWaitCursor::CWaitCursor()
{
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}

CWaitCursor::~CWaitCursor()
{
    QApplication::restoreOverrideCursor();
}
