// CEmailPage: the "Email" page of the settings sheet: the administrators' addresses, the SMTP
// server of the Email Sender with its daily limit, the web addresses that mails quote, and the
// POP3 account of the Email Importer.
#pragma once

#include "console/settings_page.h"

class QLineEdit;

class CEmailPage : public CSettingsPage
{
    Q_OBJECT
public:
    explicit CEmailPage(QWidget* parent = nullptr);

protected:
    void OnInitDialog() override;
    void OnSetActive() override;
    bool StoreControls() override;

private:
    QLineEdit* Field(int id) const;
};
