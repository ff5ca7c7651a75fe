#include "console/create_tables_dialog.h"

#include <vector>

#include <QApplication>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/database_setup.h"
#include "console/gui_support.h"
#include "console/sql_script_splitter.h"
#include "console/text_file.h"
#include "database/odbc_connection.h"

namespace {

constexpr int kMaxScriptLength = 1048576;
// A failed statement is shown with at most this many characters of its text.
constexpr std::size_t kShownStatementLength = 300;

std::string ShownStatement(const std::string& statement)
{
    return statement.size() <= kShownStatementLength ? statement : statement.substr(0, kShownStatementLength) + "...";
}

// "3 statements ran, 1 failed.", or "3 of 9 statements ran, 1 failed." when the run stopped early.
std::string RunCounts(std::size_t ran, std::size_t total, int failed)
{
    const std::string of = ran < total ? " of " + std::to_string(total) : "";
    return std::to_string(ran) + of + (ran == 1 && of.empty() ? " statement" : " statements") + " ran, " +
           std::to_string(failed) + " failed.";
}

}  // namespace

CCreateTablesDlg::CCreateTablesDlg(CDatabaseSetup& setup, CDatabaseSetupUi& ui, COdbcConnection* database,
                                   const std::string& caption, const std::string& scriptPath,
                                   const std::string& connectString, QWidget* parent)
    : QDialog(parent), m_setup(setup), m_ui(ui), m_database(database), m_connect(connectString)
{
    setWindowTitle("Create Tables To Store Your Data");
    auto* captionLine = WithId(new QLabel(ToQt(caption), this), 1098);
    m_script = WithId(new QPlainTextEdit(this), 1127);
    m_script->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_script->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_status = WithId(new QLineEdit(this), 1095);
    m_status->setReadOnly(true);
    m_status->setText("Click OK to create tables to store your data. If you have done it before, the statements "
                      "for tables that exist already fail, and you can go on past them.");
    auto* load = WithId(new QPushButton("Load...", this), 1093);
    m_ok = WithId(new QPushButton("OK", this), 1);
    m_ok->setDefault(true);
    auto* cancel = WithId(new QPushButton("Cancel", this), 2);
    connect(load, &QPushButton::clicked, this, &CCreateTablesDlg::OnLoad);
    connect(m_ok, &QPushButton::clicked, this, &CCreateTablesDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(load);
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(captionLine);
    layout->addWidget(m_status);
    layout->addWidget(m_script, 1);
    layout->addLayout(buttons);
    resize(640, 480);
    if (!scriptPath.empty())
        LoadScriptFile(scriptPath);
}

void CCreateTablesDlg::LoadScriptFile(const std::string& path)
{
    std::string text;
    if (!ReadTextFile(path, text)) {
        ShowMessage(this, "Failed to open file: " + path);
        m_script->clear();
        return;
    }
    if (text.size() > static_cast<std::size_t>(kMaxScriptLength))
        text.resize(static_cast<std::size_t>(kMaxScriptLength));
    m_script->setPlainText(ToQt(text));
}

void CCreateTablesDlg::OnLoad()
{
    const QString path = QFileDialog::getOpenFileName(this, "Load a SQL script file", QString(),
                                                      "SQL Script Files (*.sql);;All Files (*.*)");
    if (!path.isEmpty())
        LoadScriptFile(FromQt(path));
}

bool CCreateTablesDlg::RunScript()
{
    CWaitCursor wait;
    if (!m_database || !m_database->IsOpen()) {
        ShowMessage(this, "Not yet connected to the database. Please cancel.");
        return false;
    }
    m_ok->setEnabled(false);
    // The whole script is cut first, so that the counts can say how many statements it holds.
    std::vector<std::string> statements;
    CSqlScriptSplitter splitter(FromQt(m_script->toPlainText()));
    for (std::string statement; splitter.Next(statement);)
        statements.push_back(std::move(statement));
    std::size_t ran = 0;
    std::string failures;
    int failed = 0;
    for (const std::string& statement : statements) {
        m_status->setText(ToQt(statement));
        m_status->repaint();
        ++ran;
        try {
            m_database->ExecuteSQL(statement);
        } catch (const CDbException& failure) {
            ++failed;
            const std::string report = ShownStatement(statement) + "\n" + failure.ErrorText();
            failures += "\n\n" + report;
            if (!AskYesNo(this, report + "\nWould you like to continue?")) {
                m_status->setText(ToQt(RunCounts(ran, statements.size(), failed)));
                m_ok->setEnabled(true);
                return false;
            }
        }
    }
    m_ok->setEnabled(true);
    const std::string counts = RunCounts(ran, statements.size(), failed);
    m_status->setText(ToQt("All done, click OK to continue. " + counts));
    // A script that left statements undone is not reported as done: the administrator sees what
    // failed and decides.
    if (failed > 0 && !AskYesNo(this, counts + " Failed:" + failures + "\n\nWould you like to continue?"))
        return false;
    return true;
}

bool CCreateTablesDlg::CheckTablesAfterScript()
{
    if (m_setup.CheckAccessDatabase(*m_database, m_connect, m_ui) == 0)
        return true;
    return AskYesNo(this, "Table: " + m_setup.GetRegistryTableName() +
                              " is still not found. \nThe Tarnwick Server will not work. \n\nAre you sure you want to "
                              "continue?");
}

void CCreateTablesDlg::accept()
{
    if (RunScript() && CheckTablesAfterScript())
        QDialog::accept();
}
