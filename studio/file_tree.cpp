#include "studio/file_tree.h"

#include <QApplication>
#include <QKeyEvent>
#include <QStyle>

#include "studio/extension_list.h"
#include "studio/folder_listing.h"
#include "studio/gui_support.h"

namespace {

constexpr int kKindRole = Qt::UserRole;
const QString kDummy = QStringLiteral("dummy");

QIcon FolderIcon(bool open)
{
    return QApplication::style()->standardIcon(open ? QStyle::SP_DirOpenIcon : QStyle::SP_DirClosedIcon);
}

QTreeWidgetItem* NewItem(const QString& text, CFileTree::ItemKind kind)
{
    auto* item = new QTreeWidgetItem(QStringList(text));
    item->setData(0, kKindRole, kind);
    item->setIcon(0, kind == CFileTree::kFileItem ? QApplication::style()->standardIcon(QStyle::SP_FileIcon)
                                                  : FolderIcon(false));
    return item;
}

QTreeWidgetItem* NewFolderItem(const QString& text)
{
    QTreeWidgetItem* item = NewItem(text, CFileTree::kFolderItem);
    // A folder not listed yet holds one placeholder, so that it shows an expand button.
    item->addChild(NewItem(kDummy, CFileTree::kFolderItem));
    return item;
}

}  // namespace

CFileTree::CFileTree(QWidget* parent) : QTreeWidget(parent)
{
    setObjectName(ControlName(1000));
    setHeaderHidden(true);
    setRootIsDecorated(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QTreeWidget::itemExpanded, this, &CFileTree::OnExpanded);
    connect(this, &QTreeWidget::itemCollapsed, this, &CFileTree::OnCollapsed);
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this] { ChooseSelected(); });
}

void CFileTree::SetFilter(const std::string& text)
{
    m_extensions = ParseExtensionList(text);
}

std::string CFileTree::GetFilter() const
{
    return FormatExtensionList(m_extensions);
}

void CFileTree::Fill(const std::string& root, QTreeWidgetItem* item)
{
    if (item == nullptr && root.empty())
        return;
    const std::string folder = item != nullptr ? ItemPath(item) : root;
    if (item != nullptr)
        qDeleteAll(item->takeChildren());
    else
        clear();
    const CFolderListing listing = ListFolder(folder, m_extensions);
    if (!listing.found) {
        ShowMessage(this, QStringLiteral("Root folder not found or the folder is empty."));
        return;
    }
    QTreeWidgetItem* parent = item;
    if (parent == nullptr) {
        parent = NewItem(ToQt(root), kFolderItem);
        addTopLevelItem(parent);
    }
    for (const std::string& name : listing.folders)
        parent->addChild(NewFolderItem(ToQt(name)));
    for (const std::string& name : listing.files)
        parent->addChild(NewItem(ToQt(name), kFileItem));
    if (item == nullptr) {
        // Expanding the new root lists nothing twice: its children are already there.
        const QSignalBlocker quiet(this);
        parent->setExpanded(true);
        parent->setIcon(0, FolderIcon(true));
        setCurrentItem(parent);
    }
}

std::string CFileTree::ItemPath(const QTreeWidgetItem* item) const
{
    std::string path;
    for (; item != nullptr; item = item->parent()) {
        const std::string text = FromQt(item->text(0));
        if (path.empty())
            path = text;
        else
            path = text + (!text.empty() && text.back() == '/' ? "" : "/") + path;
    }
    return path;
}

std::string CFileTree::GetSelectedFilePath() const
{
    const QTreeWidgetItem* item = currentItem();
    if (item == nullptr || item->data(0, kKindRole).toInt() != kFileItem)
        return "";
    return ItemPath(item);
}

std::string CFileTree::GetSelectedFolderPath() const
{
    const QTreeWidgetItem* item = currentItem();
    if (item == nullptr)
        return "";
    if (item->data(0, kKindRole).toInt() == kFileItem)
        item = item->parent();
    return ItemPath(item);
}

void CFileTree::OnExpanded(QTreeWidgetItem* item)
{
    Fill("", item);
    item->setIcon(0, FolderIcon(true));
}

void CFileTree::OnCollapsed(QTreeWidgetItem* item)
{
    item->setIcon(0, FolderIcon(false));
}

void CFileTree::ChooseSelected()
{
    QString path = ToQt(GetSelectedFilePath());
    while (!path.isEmpty() && path.front() == u' ')
        path.remove(0, 1);
    if (!path.isEmpty())
        emit FileChosen(path);
}

void CFileTree::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        ChooseSelected();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

CFilesPane::CFilesPane(QWidget* parent) : QTabWidget(parent)
{
    setObjectName(ControlName(1020));
    m_tree = new CFileTree(this);
    addTab(m_tree, QStringLiteral("Files"));
}
