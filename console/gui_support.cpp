#include "console/gui_support.h"

bool AskYesNo(QWidget* parent, const std::string& text, QMessageBox::Icon icon, bool defaultNo)
{
    QMessageBox box(icon, MessageTitle(), ToQt(text), QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(defaultNo ? QMessageBox::No : QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}
