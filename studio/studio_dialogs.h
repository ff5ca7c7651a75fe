// The modal dialogs of twStudio and the colour list. Each dialog and control carries its numeric id
// as object name ("id1012"); the caller fills a dialog before exec() and reads it after OK.
#pragma once

#include <string>

#include <QColor>
#include <QDialog>
#include <QListWidget>
#include <QString>

class QButtonGroup;
class QCheckBox;
class QLineEdit;

// The 17 colours of the colour lists: 0..15 the stock palette's named colours, 16 "Automatic"
// (the system's window text or window colour).
QColor ColorFromIndex(int index, bool forText);

// A list of the 17 colours, each drawn as a swatch and its name.
class CColorListBox : public QListWidget
{
    Q_OBJECT
public:
    static constexpr int kAutomatic = 16;

    CColorListBox(int id, QWidget* parent = nullptr);
    // Fills the list for text colours or background colours.
    void Fill(bool forText);
    bool IsForText() const { return m_forText; }

private:
    bool m_forText = true;
};

class CBreakpointsDlg : public QDialog
{
    Q_OBJECT
public:
    enum Result
    {
        kGoTo = 1,
        kClearAll = 2,
        kClose = 3
    };
    // `breakpoints`: the entries, each followed by "\n".
    CBreakpointsDlg(const std::string& breakpoints, QWidget* parent = nullptr);
    int ResultCode() const { return m_result; }
    const std::string& SelectedEntry() const { return m_selected; }

private:
    QListWidget* m_list;
    int m_result = kClose;
    std::string m_selected;
};

class CDebuggerOptionsDlg : public QDialog
{
    Q_OBJECT
public:
    CDebuggerOptionsDlg(const std::string& port, int ssl, QWidget* parent = nullptr);
    std::string Port() const;
    int Ssl() const;
    // Refuses a port text that is not a whole number from 1 to 65535.
    void accept() override;

private:
    QLineEdit* m_port;
    QButtonGroup* m_type;
};

class CSetTabStops : public QDialog
{
    Q_OBJECT
public:
    CSetTabStops(int tabStops, QWidget* parent = nullptr);
    int TabStops() const { return m_tabStops; }
    void accept() override;

private:
    QLineEdit* m_edit;
    int m_tabStops;
};

class CSetColorDlg : public QDialog
{
    Q_OBJECT
public:
    CSetColorDlg(int textIndex, int backgroundIndex, QWidget* parent = nullptr);
    int TextIndex() const;
    int BackgroundIndex() const;

private:
    CColorListBox* m_text;
    CColorListBox* m_background;
};

class CRootFilterDlg : public QDialog
{
    Q_OBJECT
public:
    CRootFilterDlg(const std::string& root, const std::string& filter, QWidget* parent = nullptr);
    std::string Root() const;
    std::string Filter() const;

private:
    QLineEdit* m_root;
    QLineEdit* m_filter;
};

class CFindInFilesDlg : public QDialog
{
    Q_OBJECT
public:
    CFindInFilesDlg(const std::string& what, const std::string& types, const std::string& folder,
                    QWidget* parent = nullptr);
    std::string What() const;
    std::string Types() const;
    std::string Folder() const;

private:
    QLineEdit* m_what;
    QLineEdit* m_types;
    QLineEdit* m_folder;
};

class CAddWatchDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CAddWatchDlg(QWidget* parent = nullptr);
    QString Name() const;

private:
    QLineEdit* m_name;
};

class CGotoOffsetDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CGotoOffsetDlg(QWidget* parent = nullptr);
    long long Offset() const { return m_offset; }
    void accept() override;

private:
    QLineEdit* m_edit;
    long long m_offset = 0;
};

// Quick Watch (the value of a name in the paused run, recalculated on demand) and, in edit mode,
// the renaming of a listed watch.
class CQuickWatchDlg : public QDialog
{
    Q_OBJECT
public:
    enum Mode
    {
        kQuickWatch = 1,
        kEdit = 2
    };
    static constexpr const char* kOnlyWhenPaused = "Value can only be obtained when the debugger is paused.";

    CQuickWatchDlg(Mode mode, const QString& name, const QString& value, QWidget* parent = nullptr);
    QString Name() const { return m_name; }
    QString Value() const { return m_value; }
    void Recalculate();
    void accept() override;

private:
    Mode m_mode;
    QString m_name;
    QString m_value;
    QString m_startName;
    QLineEdit* m_nameEdit;
    QLineEdit* m_valueEdit;
};

// Find and Replace in the editor: the text, the replacement and whether case matters.
class CFindReplaceDlg : public QDialog
{
    Q_OBJECT
public:
    CFindReplaceDlg(bool replace, const QString& text, const QString& replacement, bool matchCase,
                    QWidget* parent = nullptr);
    QString Text() const;
    QString Replacement() const;
    bool MatchCase() const;
    // Replace All was chosen rather than Replace.
    bool All() const { return m_all; }

private:
    QLineEdit* m_text;
    QLineEdit* m_replacement = nullptr;
    QCheckBox* m_matchCase;
    bool m_all = false;
};

class CAboutDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
