// The database checks' questions asked with the console's dialogs: the data-source dialog, the
// table-creation dialog and message boxes.
#pragma once

#include <string>

#include "console/database_setup.h"

class QWidget;

class CGuiDatabaseSetupUi : public CDatabaseSetupUi
{
public:
    CGuiDatabaseSetupUi(CDatabaseSetup& setup, QWidget* parent) : m_setup(setup), m_parent(parent) {}

    bool ChooseDataSource(std::string& dsn, const std::string& defaultDsn, const std::string& hint) override;
    bool CreateTables(COdbcConnection& database, const std::string& connect, const std::string& caption,
                      const std::string& scriptPath) override;
    void ShowInformation(const std::string& text) override;
    void ShowError(const std::string& text) override;

private:
    CDatabaseSetup& m_setup;
    QWidget* m_parent;
};
