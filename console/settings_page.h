// CSettingsPage: one page of the settings sheet. A page works on the sheet's working copy of the
// settings: it fills its controls when it is first shown, and stores them back (checking them
// first) when the user leaves it or saves; a page that was never shown keeps the settings as they
// were loaded.
#pragma once

#include <string>

#include <QString>
#include <QWidget>

class CConsoleConfig;
class QLineEdit;

class CSettingsPage : public QWidget
{
    Q_OBJECT
public:
    CSettingsPage(const QString& caption, QWidget* parent = nullptr);

    const QString& Caption() const { return m_caption; }
    void SetSettings(CConsoleConfig* settings) { m_settings = settings; }
    CConsoleConfig* Settings() const { return m_settings; }

    // Called each time the page is shown: the first time OnInitDialog, later OnSetActive.
    void Activate();
    bool IsInitialized() const { return m_initialized; }
    // Checks the controls and writes them into the settings; false (after telling the user why,
    // with the focus on the control) when a value is refused. A page never shown stores nothing.
    [[nodiscard]] bool Store();

protected:
    virtual void OnInitDialog() = 0;
    virtual void OnSetActive() {}
    [[nodiscard]] virtual bool StoreControls() = 0;

    // The checks of a text field that holds a whole number in a range, with the platform's
    // messages ("Please enter an integer." and "Please enter an integer between %d and %d.").
    [[nodiscard]] bool ReadInteger(QLineEdit* edit, int minimum, int maximum, int& value);
    // "Enter no more than %d characters."
    [[nodiscard]] bool CheckLength(QWidget* control, const QString& text, int maximum);
    void Refuse(QWidget* control, const std::string& message);

    CConsoleConfig* m_settings = nullptr;

private:
    QString m_caption;
    bool m_initialized = false;
};
