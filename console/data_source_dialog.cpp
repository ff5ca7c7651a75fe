#include "console/data_source_dialog.h"

#include <cerrno>

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "console/database_setup.h"
#include "console/gui_support.h"
#include "console/odbc_admin.h"
#include "console/report_list.h"
#include "database/odbc_setup.h"
#include "foundation/ascii_text.h"
#include "platform/file_system.h"

namespace {

constexpr std::size_t kMaxAttributeText = 250;
constexpr const char* kDefaultDriver = "SQLite3";

}  // namespace

CDataSourceAttributesDlg::CDataSourceAttributesDlg(const std::string& name, const std::string& driver,
                                                   const std::vector<std::pair<std::string, std::string>>& attributes,
                                                   QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(ToQt("ODBC " + driver + " Setup"));
    m_name = new QLineEdit(ToQt(name), this);
    m_name->setObjectName("dataSourceName");
    m_table = new QTableWidget(static_cast<int>(attributes.size()) + 4, 2, this);
    m_table->setObjectName("attributes");
    m_table->setHorizontalHeaderLabels({"Attribute", "Value"});
    m_table->horizontalHeader()->setStretchLastSection(true);
    for (int row = 0; row < static_cast<int>(attributes.size()); ++row) {
        m_table->setItem(row, 0, new QTableWidgetItem(ToQt(attributes[static_cast<std::size_t>(row)].first)));
        m_table->setItem(row, 1, new QTableWidgetItem(ToQt(attributes[static_cast<std::size_t>(row)].second)));
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(ControlName(1));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* form = new QFormLayout(this);
    form->addRow("Data Source Name:", m_name);
    form->addRow(m_table);
    form->addRow(buttons);
    resize(480, 320);
}

std::string CDataSourceAttributesDlg::Name() const
{
    return std::string(TrimWhiteAscii(FromQt(m_name->text())));
}

std::vector<std::pair<std::string, std::string>> CDataSourceAttributesDlg::Attributes() const
{
    std::vector<std::pair<std::string, std::string>> attributes;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem* key = m_table->item(row, 0);
        const QTableWidgetItem* value = m_table->item(row, 1);
        const std::string name(TrimWhiteAscii(key ? FromQt(key->text()) : ""));
        if (!name.empty())
            attributes.emplace_back(name, value ? FromQt(value->text()) : "");
    }
    return attributes;
}

CDataSourceDlg::CDataSourceDlg(std::string installDir, std::string current, std::string defaultName, std::string hint,
                               QWidget* parent)
    : QDialog(parent), m_installDir(std::move(installDir)), m_current(std::move(current)),
      m_defaultName(std::move(defaultName))
{
    m_currentEdit = WithId(new QLineEdit(ToQt(m_current), this), 1058);
    auto* hintEdit = WithId(new QPlainTextEdit(ToQt(hint), this), 1057);
    hintEdit->setReadOnly(true);
    hintEdit->setMaximumHeight(60);
    m_group = WithId(new QGroupBox("Current data source", this), 1124);
    m_createDefault = WithId(new QPushButton("Create Default", this), 1082);
    m_ok = WithId(new QPushButton("OK", this), 1);
    m_ok->setDefault(true);
    auto* cancel = WithId(new QPushButton("Cancel", this), 2);
    m_configure = WithId(new QPushButton("Configure...", this), 1059);
    auto* create = WithId(new QPushButton("Create...", this), 1061);
    auto* select = WithId(new QPushButton("Select", this), 1063);
    m_drivers = WithId(new CListCtrlEx(this), 1060);
    m_dataSources = WithId(new CListCtrlEx(this), 1062);

    connect(m_createDefault, &QPushButton::clicked, this, &CDataSourceDlg::OnCreateDefault);
    connect(m_ok, &QPushButton::clicked, this, &CDataSourceDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_configure, &QPushButton::clicked, this, &CDataSourceDlg::OnConfigure);
    connect(create, &QPushButton::clicked, this, &CDataSourceDlg::OnCreate);
    connect(select, &QPushButton::clicked, this, &CDataSourceDlg::OnSelect);
    connect(m_dataSources, &QTreeWidget::itemDoubleClicked, this, &CDataSourceDlg::OnSelect);
    connect(m_drivers, &QTreeWidget::itemDoubleClicked, this, &CDataSourceDlg::OnCreate);

    auto* groupLayout = new QHBoxLayout(m_group);
    groupLayout->addWidget(m_currentEdit, 1);
    groupLayout->addWidget(m_configure);
    groupLayout->addWidget(m_createDefault);
    auto* lists = new QGridLayout;
    lists->addWidget(new QLabel("System data sources:", this), 0, 0);
    lists->addWidget(new QLabel("ODBC drivers:", this), 0, 2);
    lists->addWidget(m_dataSources, 1, 0);
    lists->addWidget(select, 1, 1, Qt::AlignTop);
    lists->addWidget(m_drivers, 1, 2);
    lists->addWidget(create, 1, 3, Qt::AlignTop);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(hintEdit);
    layout->addWidget(m_group);
    layout->addLayout(lists, 1);
    layout->addLayout(buttons);
    resize(720, 400);

    m_drivers->SetColumns({"ODBC Driver"}, {300});
    std::vector<std::string> drivers = LoadOdbcDrivers(m_installDir);
    for (const std::string& driver : drivers)
        m_drivers->insertTopLevelItem(0, new QTreeWidgetItem({ToQt(driver)}));
    if (drivers.empty())
        ShowMessage(this, "Failed to get driver list");
    m_drivers->SelectRow(0);
    m_dataSources->SetColumns({"Name", "ODBC Driver"}, {120, 240});
    LoadSystemDataSources();
    FillDataSourceList();
    if (m_current.empty()) {
        m_ok->setEnabled(false);
        m_configure->setEnabled(false);
    }
    if (m_defaultName.empty()) {
        m_createDefault->hide();
        m_group->setTitle("New data source");
    }
    setWindowTitle(m_defaultName.empty() ? "Create data source"
                   : !m_current.empty()  ? "Change data source"
                                         : "Set up data source");
}

void CDataSourceDlg::LoadSystemDataSources()
{
    std::string error;
    if (!::LoadSystemDataSources(m_installDir, m_sources, error))
        ShowMessage(this, error);
}

void CDataSourceDlg::FillDataSourceList()
{
    m_dataSources->clear();
    for (const CDataSourceInfo& source : m_sources)
        m_dataSources->insertTopLevelItem(0, new QTreeWidgetItem({ToQt(source.name), ToQt(source.driver)}));
    if (!m_sources.empty())
        m_dataSources->SelectRow(0);
}

std::string CDataSourceDlg::FindNewDataSource()
{
    LoadSystemDataSources();
    for (const CDataSourceInfo& source : m_sources) {
        bool shown = false;
        for (int row = 0; row < m_dataSources->topLevelItemCount() && !shown; ++row)
            shown = FromQt(m_dataSources->CellText(row, 0)) == source.name;
        if (!shown)
            return source.name;
    }
    return {};
}

void CDataSourceDlg::SelectNewDataSource(const std::string& fallback)
{
    std::string found = FindNewDataSource();
    if (found.empty())
        found = fallback;
    if (!found.empty()) {
        m_current = found;
        m_currentEdit->setText(ToQt(found));
        m_configure->setEnabled(true);
        m_ok->setEnabled(true);
    } else {
        ShowMessage(this,
                    "You may have modified an existing data source.\nPlease select this data source from the system "
                    "data source list.",
                    QMessageBox::Information);
    }
    FillDataSourceList();
}

void CDataSourceDlg::OnSelect()
{
    const int row = m_dataSources->SelectedRow();
    if (row < 0) {
        ShowMessage(this, "Please select driver type first.");
        return;
    }
    m_current = FromQt(m_dataSources->CellText(row, 0));
    m_currentEdit->setText(ToQt(m_current));
    m_configure->setEnabled(true);
    m_ok->setEnabled(true);
}

bool CDataSourceDlg::EditDataSource(const std::string& name, const std::string& driver,
                                    const std::vector<std::pair<std::string, std::string>>& attributes,
                                    std::string& written)
{
    CDataSourceAttributesDlg attributesDialog(name, driver, attributes, this);
    if (attributesDialog.exec() != QDialog::Accepted)
        return false;
    std::string error;
    written = attributesDialog.Name();
    if (!WriteSystemDataSource(m_installDir, written, driver, attributesDialog.Attributes(), error)) {
        ShowMessage(this, error);
        return false;
    }
    return true;
}

void CDataSourceDlg::OnConfigure()
{
    m_current = std::string(TrimWhiteAscii(FromQt(m_currentEdit->text())));
    std::string driver;
    bool found = false;
    for (int row = 0; row < m_dataSources->topLevelItemCount() && !found; ++row)
        if (EqualsNoCase(FromQt(m_dataSources->CellText(row, 0)), m_current)) {
            driver = std::string(TrimWhiteAscii(FromQt(m_dataSources->CellText(row, 1))));
            found = true;
        }
    if (!found) {
        ShowMessage(this, "System did not find " + m_current + "\nPlease define it in " + OdbcIniPath(m_installDir) +
                              " or with the Create... button");
        return;
    }
    COdbcIniFile sources;
    if (!sources.Load(OdbcIniPath(m_installDir))) {
        ShowMessage(this, GetSystemErrorText(errno) + " " + OdbcIniPath(m_installDir));
        return;
    }
    std::vector<std::pair<std::string, std::string>> attributes;
    for (const auto& entry : sources.Entries(m_current))
        if (!EqualsNoCase(entry.first, "Driver"))
            attributes.push_back(entry);
    std::string written;
    if (EditDataSource(m_current, driver, attributes, written)) {
        LoadSystemDataSources();
        FillDataSourceList();
    }
}

void CDataSourceDlg::OnCreate()
{
    const int row = m_drivers->SelectedRow();
    if (row < 0) {
        ShowMessage(this, "Please select driver type first.");
        return;
    }
    const std::string driver = FromQt(m_drivers->CellText(row, 0));
    std::string name = m_defaultName;
    if (ContainsNoCase(driver, "SQL Server"))
        name += "_sql";
    else if (ContainsNoCase(driver, "Oracle"))
        name += "_ora";
    else if (DriverKind(DescribeDriver(m_installDir, driver)) == "PostgreSQL")
        name += "_pg";
    if (("DSN=" + name).size() > kMaxAttributeText) {
        ShowMessage(this, "Data source name can not be longer than 250.");
        return;
    }
    std::string written;
    if (EditDataSource(name, driver,
                       SuggestedAttributes(driver, m_installDir,
                                           m_defaultName.empty() ? "" : CDatabaseSetup::DefaultDatabaseFile()),
                       written))
        SelectNewDataSource("");
}

void CDataSourceDlg::OnCreateDefault()
{
    std::string error;
    const std::string file = m_installDir + "/data/" + CDatabaseSetup::DefaultDatabaseFile();
    // The installation's driver list names the SQLite driver by its library even where the
    // system registered none.
    if (!WriteDefaultOdbcIni(m_installDir, error) ||
        !WriteSystemDataSource(
            m_installDir, m_defaultName, kDefaultDriver,
            {{"Description", "Tarnwick Server 3 default database"}, {"Database", file}, {"Timeout", "15000"}}, error)) {
        ShowMessage(this, error);
        return;
    }
    // The default database is made from the installation's script when it is not there yet.
    if (!CreateDefaultDatabase(m_installDir, error)) {
        ShowMessage(this, error);
        return;
    }
    SelectNewDataSource(m_defaultName);
}

void CDataSourceDlg::accept()
{
    m_current = std::string(TrimWhiteAscii(FromQt(m_currentEdit->text())));
    QDialog::accept();
}
