// CCreateTablesDlg: "Create Tables To Store Your Data": shows the table-creation script for the
// database, lets the administrator load another, and on OK runs it statement by statement on the
// open connection, then checks that the settings table now exists.
#pragma once

#include <string>

#include <QDialog>

class CDatabaseSetup;
class CDatabaseSetupUi;
class COdbcConnection;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class CCreateTablesDlg : public QDialog
{
    Q_OBJECT
public:
    CCreateTablesDlg(CDatabaseSetup& setup, CDatabaseSetupUi& ui, COdbcConnection* database, const std::string& caption,
                     const std::string& scriptPath, const std::string& connectString, QWidget* parent = nullptr);

    void LoadScriptFile(const std::string& path);
    // Runs the script, asking at each failed statement whether to go on, and at the end shows
    // how many statements ran and which failed. False when there is no connection or the
    // administrator stopped at a failure.
    [[nodiscard]] bool RunScript();
    // True when the settings table exists, or the administrator goes on without it.
    bool CheckTablesAfterScript();

public slots:
    void accept() override;
    void OnLoad();

private:
    CDatabaseSetup& m_setup;
    CDatabaseSetupUi& m_ui;
    COdbcConnection* m_database;
    std::string m_connect;
    QPlainTextEdit* m_script;
    QLineEdit* m_status;
    QPushButton* m_ok;
};
