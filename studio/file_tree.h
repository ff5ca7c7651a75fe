// The Files pane: a tab control with the one tab "Files" that holds CFileTree, a tree of the Files
// root folder with its subfolders and the files whose extension is in the filter. Folders are
// listed when they are expanded, every time, so the tree follows changes on disk. Double-click or
// Enter on a file opens it in the editor.
#pragma once

#include <string>
#include <vector>

#include <QTabWidget>
#include <QTreeWidget>

class CMainFrame;

class CFileTree : public QTreeWidget
{
    Q_OBJECT
public:
    enum ItemKind
    {
        kFolderItem = 0,
        kFileItem = 2
    };

    explicit CFileTree(QWidget* parent = nullptr);

    // The extension list from a typed filter (".twp; .tws; .html; .txt").
    void SetFilter(const std::string& text);
    // The entries, each followed by "; ".
    std::string GetFilter() const;
    // With an item: that folder's children are listed again. Without: a new tree for `root`
    // (nothing for an empty root).
    void Fill(const std::string& root, QTreeWidgetItem* item = nullptr);
    // The full path of the selected file; "" when the selection is no file.
    std::string GetSelectedFilePath() const;
    // The selected folder, or the folder of the selected file; "" without a selection.
    std::string GetSelectedFolderPath() const;
    // The full path of an item: the texts from the root down, joined with "/".
    std::string ItemPath(const QTreeWidgetItem* item) const;

signals:
    // A file was chosen (double-click or Enter).
    void FileChosen(const QString& path);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnExpanded(QTreeWidgetItem* item);
    void OnCollapsed(QTreeWidgetItem* item);
    void ChooseSelected();

    std::vector<std::string> m_extensions;
};

class CFilesPane : public QTabWidget
{
    Q_OBJECT
public:
    explicit CFilesPane(QWidget* parent = nullptr);
    CFileTree* Tree() const { return m_tree; }

private:
    CFileTree* m_tree;
};
