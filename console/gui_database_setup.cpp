#include "console/gui_database_setup.h"

#include "console/create_tables_dialog.h"
#include "console/data_source_dialog.h"
#include "console/gui_support.h"

bool CGuiDatabaseSetupUi::ChooseDataSource(std::string& dsn, const std::string& defaultDsn, const std::string& hint)
{
    CDataSourceDlg dialog(m_setup.InstallDir(), dsn, defaultDsn, hint, m_parent);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    dsn = dialog.CurrentName();
    return true;
}

bool CGuiDatabaseSetupUi::CreateTables(COdbcConnection& database, const std::string& connect,
                                       const std::string& caption, const std::string& scriptPath)
{
    CCreateTablesDlg dialog(m_setup, *this, &database, caption, scriptPath, connect, m_parent);
    return dialog.exec() == QDialog::Accepted;
}

void CGuiDatabaseSetupUi::ShowInformation(const std::string& text)
{
    ShowMessage(m_parent, text, QMessageBox::Information);
}

void CGuiDatabaseSetupUi::ShowError(const std::string& text)
{
    ShowMessage(m_parent, text, QMessageBox::Warning);
}
