// The bottom pane of the main frame: COutputBar, a tab control with "Debug" (the log),
// "Request/Response" (what debugged requests received and produced), "Variables" (the watch list,
// evaluated in the paused run) and "Find in Files" (the search results).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <QListWidget>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTreeWidget>

#include "studio/file_find_thread.h"

class CQueuedTarget;

// A read-only text pane that appends what it is given. When more than its limit of characters has
// been written since the last reset, it empties itself and says so before the next text.
class COutputPane : public QPlainTextEdit
{
    Q_OBJECT
public:
    COutputPane(int id, int limit, QWidget* parent = nullptr);

    void AppendText(const QString& text);
    void Clear();
    void SetColors(const QColor& text, const QColor& background);
    void SetTabStops(int characters);
    // Characters written since the last reset.
    long long Written() const { return m_written; }

private:
    long long m_written = 0;
    const int m_limit;
};

// The watch list: names and their values. Delete removes the selected watch; names are not edited
// in place (the Edit Variable Name command does that).
class CVariableList : public QTreeWidget
{
    Q_OBJECT
public:
    explicit CVariableList(QWidget* parent = nullptr);

signals:
    void EditRequested();

protected:
    void keyReleaseEvent(QKeyEvent* event) override;
};

// The Find in Files results. It owns the stop flag of the search (1: no search runs, or stop was
// asked for) and receives the search's texts on the user-interface thread.
class CFindResultList : public QListWidget
{
    Q_OBJECT
public:
    explicit CFindResultList(QWidget* parent = nullptr);
    ~CFindResultList() override;

    // Starts a search on a thread of its own; false (after a message box) when it could not start.
    [[nodiscard]] bool StartFind(const std::string& what, const std::string& types, const std::string& folder);
    bool IsSearching() const { return m_stop->load() == 0; }
    void RequestStop() { m_stop->store(1); }
    const QString& LastSearchText() const { return m_lastText; }
    // One text from the search: "{" clears, "}" ends, anything else is a line.
    void OnFindMessage(const QString& text);
    // Splits a result line "<path> (<line>): <text>"; false when it is none.
    static bool ParseHit(const QString& line, QString& path, int& lineNumber);
    void SetColors(const QColor& text, const QColor& background);

signals:
    void HitChosen(const QString& path, int line);
    // How far the running search has come: files searched so far and the folder it is in.
    void SearchProgress(int searched, const QString& folder);
    // The search has posted its last line.
    void SearchEnded();

private:
    CFileFindThread::Progress ProgressPoster(const std::shared_ptr<CQueuedTarget>& target);

    std::shared_ptr<std::atomic<int>> m_stop;
    std::shared_ptr<CQueuedTarget> m_target;
    QString m_lastText;
};

class COutputBar : public QTabWidget
{
    Q_OBJECT
public:
    enum Tab
    {
        kDebugTab = 0,
        kRequestTab = 1,
        kVariablesTab = 2,
        kFindTab = 3
    };
    static constexpr int kDebugLimit = 524288;
    static constexpr int kRequestLimit = 8388608;

    explicit COutputBar(QWidget* parent = nullptr);

    COutputPane* DebugPane() const { return m_debug; }
    COutputPane* RequestPane() const { return m_request; }
    CVariableList* Variables() const { return m_variables; }
    CFindResultList* FindResults() const { return m_find; }

    void SelectTab(int tab);
    // Lists the watch at the top with a fresh value (moving it when it is listed already) and
    // selects it.
    void AddWatch(const QString& name);
    void RefreshWatches();
    // Removes the selected watch; without one, says so.
    void RemoveWatch();
    // The selected watch's name and value, empty without a selection.
    void GetSelectedWatch(QString& name, QString& value) const;
    void SetSelectedWatch(const QString& name, const QString& value);
    // Column widths of the watch list; a width outside 20..1000 takes the default.
    void SetColumnWidths(int nameWidth, int valueWidth);
    void SetPaneFont(const QFont& font);
    void SetPaneColors(const QColor& text, const QColor& background);
    void SetPaneTabStops(int characters);

private:
    COutputPane* m_debug;
    COutputPane* m_request;
    CVariableList* m_variables;
    CFindResultList* m_find;
};
