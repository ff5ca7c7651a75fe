#include "qt_support/widget_support.h"

#include <QApplication>
#include <QCursor>

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
