#include "console/gui_support.h"

#include "console/console_app.h"

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
