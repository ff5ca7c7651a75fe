// CDataSourceDlg: "Set up or Change Data Source": picks a system data source of the installation,
// configures one, creates one for any driver, or creates the default SQLite data source over
// data/tw3.db (made from the table-creation script when missing). The data sources are those of
// <install>/etc/odbc.ini; where a Windows driver showed its own set-up dialog,
// CDataSourceAttributesDlg shows the data source's attributes to edit.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <QDialog>

#include "console/odbc_admin.h"

class CListCtrlEx;
class QGroupBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

// The attributes of one data source: its name and key/value pairs.
class CDataSourceAttributesDlg : public QDialog
{
    Q_OBJECT
public:
    CDataSourceAttributesDlg(const std::string& name, const std::string& driver,
                             const std::vector<std::pair<std::string, std::string>>& attributes,
                             QWidget* parent = nullptr);
    std::string Name() const;
    std::vector<std::pair<std::string, std::string>> Attributes() const;

private:
    QLineEdit* m_name;
    QTableWidget* m_table;
};

class CDataSourceDlg : public QDialog
{
    Q_OBJECT
public:
    // `current`: the data source shown at first ("" for none); `defaultName`: the default data
    // source ("" when the dialog only creates extra data sources); `hint`: the text above.
    CDataSourceDlg(std::string installDir, std::string current, std::string defaultName, std::string hint,
                   QWidget* parent = nullptr);

    // After OK: the chosen data source.
    const std::string& CurrentName() const { return m_current; }

    void LoadSystemDataSources();
    void FillDataSourceList();
    // The first data source that the list does not show yet, "" when none.
    std::string FindNewDataSource();
    void SelectNewDataSource(const std::string& fallback);

public slots:
    void OnSelect();
    void OnConfigure();
    void OnCreate();
    void OnCreateDefault();
    void accept() override;

private:
    // Runs the attributes dialog; true when the data source was written.
    [[nodiscard]] bool EditDataSource(const std::string& name, const std::string& driver,
                                      const std::vector<std::pair<std::string, std::string>>& attributes,
                                      std::string& written);

    std::string m_installDir;
    std::string m_current;
    std::string m_defaultName;
    std::vector<CDataSourceInfo> m_sources;
    QLineEdit* m_currentEdit;
    QGroupBox* m_group;
    QPushButton* m_ok;
    QPushButton* m_configure;
    QPushButton* m_createDefault;
    CListCtrlEx* m_drivers;
    CListCtrlEx* m_dataSources;
};
