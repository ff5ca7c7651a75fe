#include "console/settings_page.h"

#include <QLineEdit>

#include "console/console_messages.h"
#include "console/gui_support.h"

CSettingsPage::CSettingsPage(const QString& caption, QWidget* parent) : QWidget(parent), m_caption(caption)
{}

void CSettingsPage::Activate()
{
    if (!m_initialized) {
        m_initialized = true;
        OnInitDialog();
        return;
    }
    OnSetActive();
}

bool CSettingsPage::Store()
{
    return !m_initialized || StoreControls();
}

void CSettingsPage::Refuse(QWidget* control, const std::string& message)
{
    ShowMessage(this, message, QMessageBox::Warning);
    if (control)
        control->setFocus();
}

bool CSettingsPage::ReadInteger(QLineEdit* edit, int minimum, int maximum, int& value)
{
    bool number = false;
    const long long read = edit->text().trimmed().toLongLong(&number);
    if (!number || read < INT32_MIN || read > INT32_MAX) {
        Refuse(edit, "Please enter an integer.");
        return false;
    }
    if (read < minimum || read > maximum) {
        Refuse(edit, FormatText("Please enter an integer between %d and %d.", minimum, maximum));
        return false;
    }
    value = static_cast<int>(read);
    return true;
}

bool CSettingsPage::CheckLength(QWidget* control, const QString& text, int maximum)
{
    if (text.toUtf8().size() <= maximum)
        return true;
    Refuse(control, FormatText("Enter no more than %d characters.", maximum));
    return false;
}
