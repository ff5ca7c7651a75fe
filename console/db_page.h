// CDbPage: the "Database" page of the settings sheet: the server's ODBC connect string, chosen
// through the data-source dialog with the same checks as at start-up, the serialised-access and
// own-connection switches, and the compaction of a SQLite database file.
#pragma once

#include "console/settings_page.h"

class CConsoleApp;
class QCheckBox;
class QLineEdit;

class CDbPage : public CSettingsPage
{
    Q_OBJECT
public:
    explicit CDbPage(QWidget* parent = nullptr);

    // The server control, which tells whether the server runs (no compaction under it).
    void SetServerControl(CConsoleApp* app) { m_app = app; }

    // The data-source dialog on `connect` (in and out): changed only when the chosen data source
    // opens and holds the tables (or they were made).
    void ChangeDataSource(std::string& connect);
    void Compact(const std::string& connect);

public slots:
    void OnSerialize();
    void OnChange();
    void OnCompact();

protected:
    void OnInitDialog() override;
    bool StoreControls() override;

private:
    void EnableThreadOwn();

    CConsoleApp* m_app = nullptr;
    QLineEdit* m_connect;
    QCheckBox* m_serialize;
    QCheckBox* m_threadOwn;
};
