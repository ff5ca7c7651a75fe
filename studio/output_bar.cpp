#include "studio/output_bar.h"

#include <mutex>
#include <utility>

#include <QFontMetricsF>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>

#include "foundation/message_catalog.h"
#include "studio/debugger.h"
#include "studio/file_find_thread.h"
#include "studio/gui_support.h"

namespace {

constexpr int kMsgOutputReset = 156;
constexpr int kDefaultNameWidth = 100;
constexpr int kDefaultValueWidth = 400;

void SetWidgetColors(QWidget* widget, const QColor& text, const QColor& background)
{
    QPalette colors = widget->palette();
    colors.setColor(QPalette::Text, text);
    colors.setColor(QPalette::Base, background);
    widget->setPalette(colors);
}

}  // namespace

COutputPane::COutputPane(int id, int limit, QWidget* parent) : QPlainTextEdit(parent), m_limit(limit)
{
    setObjectName(ControlName(id));
    setReadOnly(true);
    // Only a vertical scroll bar: long log lines wrap.
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    document()->setDocumentMargin(4);
}

void COutputPane::AppendText(const QString& text)
{
    if (m_limit > 0 && m_written > m_limit) {
        char notice[128];
        std::snprintf(notice, sizeof notice, CMessageCatalog::Format(kMsgOutputReset), m_limit / 1024);
        setPlainText(QString::fromLatin1(notice));
        m_written = static_cast<long long>(std::strlen(notice));
    }
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(text);
    m_written += text.size();
    setTextCursor(end);
    ensureCursorVisible();
}

void COutputPane::Clear()
{
    clear();
    m_written = 0;
}

void COutputPane::SetColors(const QColor& text, const QColor& background)
{
    SetWidgetColors(this, text, background);
}

void COutputPane::SetTabStops(int characters)
{
    setTabStopDistance(characters * QFontMetricsF(font()).averageCharWidth());
}

CVariableList::CVariableList(QWidget* parent) : QTreeWidget(parent)
{
    setObjectName(ControlName(1016));
    setColumnCount(2);
    setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Value")});
    header()->setSectionsClickable(false);
    setRootIsDecorated(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        setCurrentItem(item);
        emit EditRequested();
    });
}

void CVariableList::keyReleaseEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Delete) {
        if (QTreeWidgetItem* item = currentItem(); item != nullptr && item->isSelected())
            delete item;
        return;
    }
    QTreeWidget::keyReleaseEvent(event);
}

CFindResultList::CFindResultList(QWidget* parent)
    : QListWidget(parent), m_stop(std::make_shared<std::atomic<int>>(1)),
      m_target(std::make_shared<CQueuedTarget>(this))
{
    setObjectName(ControlName(1018));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    connect(this, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
        QString path;
        int line = 0;
        if (ParseHit(item->text(), path, line))
            emit HitChosen(path, line);
    });
}

CFindResultList::~CFindResultList()
{
    // The search may still run: it ends at its next byte, and its texts go nowhere.
    m_stop->store(1);
    m_target->Detach();
}

bool CFindResultList::StartFind(const std::string& what, const std::string& types, const std::string& folder)
{
    m_lastText = ToQt(what);
    m_stop->store(0);
    auto thread = std::make_shared<CFileFindThread>();
    // The poster holds the flag and the target, so both live as long as the search needs them.
    std::shared_ptr<std::atomic<int>> stop = m_stop;
    std::shared_ptr<CQueuedTarget> target = m_target;
    thread->SetArguments(what, types, folder, stop.get(), [stop, target, this](std::string text) {
        target->Post([this, line = ToQt(text)] { OnFindMessage(line); });
    });
    thread->SetProgress(ProgressPoster(target));
    if (!thread->Start()) {
        m_stop->store(1);
        ShowMessage(this, QStringLiteral("Failed to start find in files thread"));
        return false;
    }
    return true;
}

CFileFindThread::Progress CFindResultList::ProgressPoster(const std::shared_ptr<CQueuedTarget>& target)
{
    // The search reports after every file; only the latest report matters, so at most one waits
    // in the queue and carries whatever is latest when the user-interface thread takes it.
    struct Latest
    {
        std::mutex lock;
        int searched = 0;
        std::string folder;
        bool queued = false;
    };
    auto latest = std::make_shared<Latest>();
    return [latest, target, this](int searched, const std::string& folder) {
        {
            std::lock_guard lock(latest->lock);
            latest->searched = searched;
            latest->folder = folder;
            if (std::exchange(latest->queued, true))
                return;
        }
        target->Post([latest, this] {
            int searched;
            QString folder;
            {
                std::lock_guard lock(latest->lock);
                latest->queued = false;
                searched = latest->searched;
                folder = ToQt(latest->folder);
            }
            emit SearchProgress(searched, folder);
        });
    };
}

void CFindResultList::OnFindMessage(const QString& text)
{
    if (text == QStringLiteral("{")) {
        clear();
    } else if (text == QStringLiteral("}")) {
        m_stop->store(1);
        if (count() > 0)
            setCurrentRow(0);
        emit SearchEnded();
    } else {
        addItem(text);
    }
}

bool CFindResultList::ParseHit(const QString& line, QString& path, int& lineNumber)
{
    const qsizetype close = line.indexOf(QStringLiteral("):"));
    if (close < 0)
        return false;
    const qsizetype open = line.lastIndexOf(u'(', close);
    if (open < 0)
        return false;
    bool ok = false;
    lineNumber = line.mid(open + 1, close - open - 1).toInt(&ok);
    path = line.left(open);
    while (!path.isEmpty() && path.back().isSpace())
        path.chop(1);
    return ok && !path.isEmpty();
}

void CFindResultList::SetColors(const QColor& text, const QColor& background)
{
    SetWidgetColors(this, text, background);
}

COutputBar::COutputBar(QWidget* parent) : QTabWidget(parent)
{
    setObjectName(ControlName(1021));
    m_debug = new COutputPane(1019, kDebugLimit, this);
    m_request = new COutputPane(1017, kRequestLimit, this);
    m_variables = new CVariableList(this);
    m_find = new CFindResultList(this);
    addTab(m_debug, QStringLiteral("Debug"));
    addTab(m_request, QStringLiteral("Request/Response"));
    addTab(m_variables, QStringLiteral("Variables"));
    addTab(m_find, QStringLiteral("Find in Files"));
    SetColumnWidths(0, 0);
    connect(this, &QTabWidget::currentChanged, this, [this](int tab) {
        if (QWidget* page = widget(tab))
            page->setFocus();
    });
}

void COutputBar::SelectTab(int tab)
{
    setCurrentIndex(tab);
    if (QWidget* page = widget(tab))
        page->setFocus();
}

void COutputBar::AddWatch(const QString& name)
{
    SelectTab(kVariablesTab);
    for (int i = 0; i < m_variables->topLevelItemCount(); ++i) {
        if (m_variables->topLevelItem(i)->text(0).compare(name, Qt::CaseInsensitive) == 0) {
            delete m_variables->takeTopLevelItem(i);
            break;
        }
    }
    auto* item = new QTreeWidgetItem(QStringList{name, ToQt(TheDebugger().GetWatchValue(FromQt(name)))});
    m_variables->insertTopLevelItem(0, item);
    m_variables->setCurrentItem(item);
    item->setSelected(true);
}

void COutputBar::RefreshWatches()
{
    for (int i = 0; i < m_variables->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = m_variables->topLevelItem(i);
        item->setText(1, ToQt(TheDebugger().GetWatchValue(FromQt(item->text(0)))));
    }
}

void COutputBar::RemoveWatch()
{
    QTreeWidgetItem* item = m_variables->currentItem();
    if (item == nullptr || !item->isSelected()) {
        ShowMessage(this, QString::fromLatin1(kSelectItemFirst));
        return;
    }
    delete item;
}

void COutputBar::GetSelectedWatch(QString& name, QString& value) const
{
    const QTreeWidgetItem* item = m_variables->currentItem();
    if (item == nullptr || !item->isSelected()) {
        name.clear();
        value.clear();
        return;
    }
    name = item->text(0);
    value = item->text(1);
}

void COutputBar::SetSelectedWatch(const QString& name, const QString& value)
{
    QTreeWidgetItem* item = m_variables->currentItem();
    if (item == nullptr || !item->isSelected())
        return;
    item->setText(0, name);
    item->setText(1, value);
}

void COutputBar::SetColumnWidths(int nameWidth, int valueWidth)
{
    m_variables->setColumnWidth(0, nameWidth >= 20 && nameWidth <= 1000 ? nameWidth : kDefaultNameWidth);
    m_variables->setColumnWidth(1, valueWidth >= 20 && valueWidth <= 1000 ? valueWidth : kDefaultValueWidth);
}

void COutputBar::SetPaneFont(const QFont& font)
{
    m_debug->setFont(font);
    m_request->setFont(font);
    m_find->setFont(font);
}

void COutputBar::SetPaneColors(const QColor& text, const QColor& background)
{
    m_debug->SetColors(text, background);
    m_request->SetColors(text, background);
    m_find->SetColors(text, background);
}

void COutputBar::SetPaneTabStops(int characters)
{
    m_debug->SetTabStops(characters);
    m_request->SetTabStops(characters);
}
