#include "console/gui_support.h"

#include <QApplication>
#include <QCursor>

#include "console/console_app.h"

QString ControlName(int id)
{
    return QStringLiteral("id%1").arg(id);
}

void ShowMessage(QWidget* parent, const std::string& text, QMessageBox::Icon icon)
{
    QMessageBox box(icon, CConsoleApp::kTitle, ToQt(text), QMessageBox::Ok, parent);
    box.exec();
}

bool AskYesNo(QWidget* parent, const std::string& text, QMessageBox::Icon icon, bool defaultNo)
{
    QMessageBox box(icon, CConsoleApp::kTitle, ToQt(text), QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(defaultNo ? QMessageBox::No : QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

CWaitCursor::CWaitCursor()
{
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}

CWaitCursor::~CWaitCursor()
{
    QApplication::restoreOverrideCursor();
}
