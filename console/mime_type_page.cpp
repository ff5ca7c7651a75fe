#include "console/mime_type_page.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/console_config.h"
#include "console/gui_support.h"
#include "console/report_list.h"
#include "foundation/ascii_text.h"

namespace {

// The map's key for an extension as typed: without one leading '.'.
std::string MimeKey(const std::string& extension)
{
    return !extension.empty() && extension.front() == '.' ? extension.substr(1) : extension;
}

}  // namespace

CMimeTypeDlg::CMimeTypeDlg(bool editing, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(editing ? "Edit Mime Type" : "New Mime Type");
    m_extension = WithId(new QLineEdit(this), 1091);
    m_extension->setMaxLength(10);
    m_extension->setEnabled(!editing);
    m_contentType = WithId(new QLineEdit(this), 1090);
    m_contentType->setMaxLength(80);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(ControlName(1));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* form = new QFormLayout(this);
    form->addRow("File &Extension:", m_extension);
    form->addRow("Content &Type (MIME):", m_contentType);
    form->addRow(buttons);
}

CMimeTypePage::CMimeTypePage(QWidget* parent) : CSettingsPage("Mime Type", parent)
{
    m_list = WithId(new CListCtrlEx(this), 1086);
    m_list->SetColumns({"File Extension", "Content Type"}, {});
    m_encoding = WithId(new QLineEdit(this), 1148);
    auto* add = new QPushButton("New...", this);
    add->setObjectName("newButton");
    auto* edit = new QPushButton("Edit...", this);
    edit->setObjectName("editButton");
    auto* remove = new QPushButton("Delete", this);
    remove->setObjectName("deleteButton");
    auto* serverDefault = new QPushButton("Server Default", this);
    serverDefault->setObjectName("serverDefaultButton");
    connect(add, &QPushButton::clicked, this, &CMimeTypePage::OnNew);
    connect(edit, &QPushButton::clicked, this, &CMimeTypePage::OnEdit);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, &CMimeTypePage::OnEdit);
    connect(remove, &QPushButton::clicked, this, &CMimeTypePage::OnDelete);
    connect(serverDefault, &QPushButton::clicked, this, &CMimeTypePage::OnServerDefault);

    auto* buttons = new QVBoxLayout;
    for (QPushButton* button : {add, edit, remove})
        buttons->addWidget(button);
    buttons->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(m_list, 1);
    top->addLayout(buttons);
    auto* encoding = new QFormLayout;
    auto* encodingRow = new QHBoxLayout;
    encodingRow->addWidget(m_encoding, 1);
    encodingRow->addWidget(serverDefault);
    encoding->addRow("Encoding for text type:", encodingRow);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addLayout(encoding);
}

void CMimeTypePage::OnInitDialog()
{
    m_encoding->setText(ToQt(m_settings->m_mimeTextEncoding));
    const int width = m_list->viewport()->width();
    m_list->setColumnWidth(0, width / 3 - 20);
    m_list->setColumnWidth(1, width * 2 / 3);
    for (const auto& [extension, type] : m_settings->m_mimeMap) {
        auto* item = new QTreeWidgetItem({ToQt("." + extension), ToQt(type)});
        m_list->addTopLevelItem(item);
    }
}

bool CMimeTypePage::StoreControls()
{
    m_settings->m_mimeTextEncoding = TrimWhiteAscii(FromQt(m_encoding->text()));
    return true;
}

void CMimeTypePage::OnNew()
{
    CMimeTypeDlg dialog(false, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const std::string extension(TrimWhiteAscii(FromQt(dialog.Extension()->text())));
    const std::string type(TrimWhiteAscii(FromQt(dialog.ContentType()->text())));
    if (extension.empty() || type.empty()) {
        ShowMessage(this, "Can not save empty MIME map");
        return;
    }
    const std::string key = MimeKey(extension);
    if (m_settings->m_mimeMap.count(key)) {
        ShowMessage(this, "The MIME type already exists. Please click edit button to make changes.");
        return;
    }
    m_settings->m_mimeMap[key] = type;
    auto* item = new QTreeWidgetItem({ToQt("." + key), ToQt(type)});
    m_list->addTopLevelItem(item);
    m_list->SelectRow(m_list->indexOfTopLevelItem(item));
}

void CMimeTypePage::OnEdit()
{
    const int row = m_list->SelectedRow();
    if (row < 0) {
        ShowMessage(this, "Please select a mime type to edit");
        return;
    }
    CMimeTypeDlg dialog(true, this);
    dialog.Extension()->setText(m_list->CellText(row, 0));
    dialog.ContentType()->setText(m_list->CellText(row, 1));
    if (dialog.exec() != QDialog::Accepted)
        return;
    const std::string type(TrimWhiteAscii(FromQt(dialog.ContentType()->text())));
    if (type.empty()) {
        ShowMessage(this, "Can not save empty MIME map");
        return;
    }
    const std::string key = MimeKey(std::string(TrimWhiteAscii(FromQt(dialog.Extension()->text()))));
    auto found = m_settings->m_mimeMap.find(key);
    if (found != m_settings->m_mimeMap.end() && found->second == type)
        return;
    m_settings->m_mimeMap[key] = type;
    m_list->topLevelItem(row)->setText(1, ToQt(type));
}

void CMimeTypePage::OnDelete()
{
    const int row = m_list->SelectedRow();
    if (row < 0) {
        ShowMessage(this, "Please select a mime type to delete");
        return;
    }
    const std::string extension = FromQt(m_list->CellText(row, 0));
    if (!AskYesNo(this, "Are you sure you want to delete " + extension, QMessageBox::Question, true))
        return;
    m_settings->m_mimeMap.erase(MimeKey(extension));
    delete m_list->takeTopLevelItem(row);
}

void CMimeTypePage::OnServerDefault()
{
    const std::string charset = CServerConfig::GetDefaultCharset();
    if (charset.empty()) {
        ShowMessage(this, "Failed to find server's default encoding.");
        return;
    }
    m_encoding->setText(ToQt(charset));
}
