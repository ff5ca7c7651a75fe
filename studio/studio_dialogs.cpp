#include "studio/studio_dialogs.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "foundation/number_parse.h"
#include "studio/debugger.h"
#include "studio/gui_support.h"

namespace {

struct NamedColor
{
    const char* name;
    QRgb rgb;
};

// The stock default palette's entries that the list offers, in list order.
constexpr NamedColor kColors[] = {
    {"Black", qRgb(0, 0, 0)},
    {"Maroon", qRgb(128, 0, 0)},
    {"Green", qRgb(0, 128, 0)},
    {"Olive", qRgb(128, 128, 0)},
    {"Navy", qRgb(0, 0, 128)},
    {"Purple", qRgb(128, 0, 128)},
    {"Teal", qRgb(0, 128, 128)},
    {"Gray", qRgb(128, 128, 128)},
    {"Silver", qRgb(192, 192, 192)},
    {"Red", qRgb(255, 0, 0)},
    {"Lime", qRgb(0, 255, 0)},
    {"Yellow", qRgb(255, 255, 0)},
    {"Blue", qRgb(0, 0, 255)},
    {"Fuchsia", qRgb(255, 0, 255)},
    {"Aqua", qRgb(0, 255, 255)},
    {"White", qRgb(255, 255, 255)},
    {"Automatic", 0},
};

// Draws an item of a colour list: the swatch from 5 to 45 pixels, the name at 50.
class CColorItemDelegate : public QStyledItemDelegate
{
public:
    CColorItemDelegate(CColorListBox* list) : QStyledItemDelegate(list), m_list(list) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const bool selected = option.state & QStyle::State_Selected;
        painter->fillRect(option.rect, option.palette.color(selected ? QPalette::Highlight : QPalette::Base));
        const QRect swatch(option.rect.left() + 5, option.rect.top() + 2, 40, option.rect.height() - 4);
        painter->fillRect(swatch, ColorFromIndex(index.row(), m_list->IsForText()));
        painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
        painter->drawRect(swatch);
        painter->drawText(option.rect.adjusted(50, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, index.data().toString());
        if (option.state & QStyle::State_HasFocus) {
            QStyleOptionFocusRect focus;
            focus.rect = option.rect;
            focus.palette = option.palette;
            QApplication::style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter);
        }
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        return QSize(size.width() + 50, std::max(size.height(), 18));
    }

private:
    CColorListBox* m_list;
};

// Room in a title bar beside its caption: the window icon, the buttons and their spacing.
constexpr int kTitleBarReserve = 160;

// The width at which a title bar shows the whole caption; title fonts are often bold.
int CaptionWidth(const QString& caption)
{
    QFont title = QApplication::font();
    title.setBold(true);
    return QFontMetrics(title).horizontalAdvance(caption) + kTitleBarReserve;
}

QPushButton* Button(int id, const QString& text, QWidget* parent)
{
    return WithId(new QPushButton(text, parent), id);
}

// OK (id 1) and Cancel (id 2) wired to accept and reject.
QDialogButtonBox* OkCancel(QDialog* dialog)
{
    auto* buttons = new QDialogButtonBox(dialog);
    buttons->addButton(Button(1, QStringLiteral("OK"), dialog), QDialogButtonBox::AcceptRole);
    buttons->addButton(Button(2, QStringLiteral("Cancel"), dialog), QDialogButtonBox::RejectRole);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

void Prepare(QDialog* dialog, int id, const QString& caption)
{
    dialog->setObjectName(ControlName(id));
    dialog->setWindowTitle(caption);
    // The title bar shows the caption beside the window's icon and buttons; a dialog with little
    // in it would otherwise be too narrow for its whole caption.
    dialog->setMinimumWidth(CaptionWidth(caption));
}

QLineEdit* Edit(int id, const std::string& text, QWidget* parent)
{
    return WithId(new QLineEdit(ToQt(text), parent), id);
}

}  // namespace

QColor ColorFromIndex(int index, bool forText)
{
    if (index == CColorListBox::kAutomatic || index < 0 || index > CColorListBox::kAutomatic)
        return QApplication::palette().color(forText ? QPalette::Text : QPalette::Base);
    return QColor(kColors[index].rgb);
}

CColorListBox::CColorListBox(int id, QWidget* parent) : QListWidget(parent)
{
    setObjectName(ControlName(id));
    setItemDelegate(new CColorItemDelegate(this));
}

void CColorListBox::Fill(bool forText)
{
    m_forText = forText;
    clear();
    for (const NamedColor& color : kColors)
        addItem(QString::fromLatin1(color.name));
}

CBreakpointsDlg::CBreakpointsDlg(const std::string& breakpoints, QWidget* parent) : QDialog(parent)
{
    Prepare(this, 143, QStringLiteral("Breakpoints"));
    m_list = WithId(new QListWidget(this), 1012);
    std::size_t start = 0;
    while (start < breakpoints.size()) {
        const std::size_t end = breakpoints.find('\n', start);
        const std::string entry = breakpoints.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (entry.empty())
            break;
        m_list->addItem(ToQt(entry));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    QPushButton* goTo = Button(1023, QStringLiteral("&Go To"), this);
    QPushButton* clearAll = Button(1022, QStringLiteral("Clear &All"), this);
    QPushButton* close = Button(1, QStringLiteral("Close"), this);
    connect(goTo, &QPushButton::clicked, this, [this] {
        QListWidgetItem* item = m_list->currentItem();
        if (item == nullptr || !item->isSelected()) {
            ShowMessage(this, QString::fromLatin1(kSelectItemFirst));
            return;
        }
        m_selected = FromQt(item->text());
        m_result = kGoTo;
        accept();
    });
    connect(clearAll, &QPushButton::clicked, this, [this] {
        m_result = kClearAll;
        m_list->clear();
        accept();
    });
    connect(close, &QPushButton::clicked, this, [this] {
        m_result = kClose;
        reject();
    });
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(goTo);
    buttons->addWidget(clearAll);
    buttons->addStretch();
    buttons->addWidget(close);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_list, 1);
    layout->addLayout(buttons);
    resize(560, 260);
}

CDebuggerOptionsDlg::CDebuggerOptionsDlg(const std::string& port, int ssl, QWidget* parent) : QDialog(parent)
{
    Prepare(this, 148, QStringLiteral("Debugger Options"));
    auto* http = WithId(new QRadioButton(QStringLiteral("Normal (i.e. http)"), this), 1034);
    auto* https = WithId(new QRadioButton(QStringLiteral("Secured (i.e. https, SSL)"), this), 1035);
    m_type = new QButtonGroup(this);
    m_type->addButton(http, 0);
    m_type->addButton(https, 1);
    (ssl == 1 ? https : http)->setChecked(true);
    m_port = Edit(1032, port, this);
    auto* note = new QLabel(QStringLiteral("Tarnwick Studio takes all its settings from the server settings that "
                                           "Tarnwick Console edits, except the TCP port: the debugger's web server "
                                           "needs a port of its own, other than Tarnwick Server's."),
                            this);
    note->setWordWrap(true);
    auto* type = new QGroupBox(QStringLiteral("Web server type"), this);
    auto* typeLayout = new QVBoxLayout(type);
    typeLayout->addWidget(http);
    typeLayout->addWidget(https);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("TCP &port:"), m_port);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(type);
    layout->addLayout(form);
    layout->addWidget(note);
    layout->addWidget(OkCancel(this));
}

std::string CDebuggerOptionsDlg::Port() const
{
    return FromQt(m_port->text().trimmed());
}

void CDebuggerOptionsDlg::accept()
{
    if (!CDebugger::IsValidPort(Port())) {
        ShowMessage(this, QStringLiteral("Please enter an integer between 1 and 65535."));
        m_port->setFocus();
        m_port->selectAll();
        return;
    }
    QDialog::accept();
}

int CDebuggerOptionsDlg::Ssl() const
{
    return m_type->checkedId() == 1 ? 1 : 0;
}

CSetTabStops::CSetTabStops(int tabStops, QWidget* parent) : QDialog(parent), m_tabStops(tabStops)
{
    Prepare(this, 138, QStringLiteral("Set Tab Stops"));
    m_edit = Edit(1002, std::to_string(tabStops), this);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("&Tab stops:"), m_edit);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(OkCancel(this));
}

void CSetTabStops::accept()
{
    bool ok = false;
    const int value = m_edit->text().trimmed().toInt(&ok);
    if (!ok || value < 1 || value > 16) {
        ShowMessage(this, QStringLiteral("Please enter an integer between 1 and 16."));
        m_edit->setFocus();
        m_edit->selectAll();
        return;
    }
    m_tabStops = value;
    QDialog::accept();
}

CSetColorDlg::CSetColorDlg(int textIndex, int backgroundIndex, QWidget* parent) : QDialog(parent)
{
    Prepare(this, 139, QStringLiteral("Set Color"));
    m_text = new CColorListBox(1003, this);
    m_background = new CColorListBox(1004, this);
    m_text->Fill(true);
    m_background->Fill(false);
    m_text->setCurrentRow(textIndex);
    m_background->setCurrentRow(backgroundIndex);
    auto* lists = new QHBoxLayout;
    for (auto [label, list] : {std::pair{QStringLiteral("&Text color"), m_text},
                               std::pair{QStringLiteral("&Background color"), m_background}}) {
        auto* column = new QVBoxLayout;
        auto* caption = new QLabel(label, this);
        caption->setBuddy(list);
        column->addWidget(caption);
        column->addWidget(list);
        lists->addLayout(column);
    }
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(lists);
    layout->addWidget(OkCancel(this));
}

int CSetColorDlg::TextIndex() const
{
    return m_text->currentRow();
}

int CSetColorDlg::BackgroundIndex() const
{
    return m_background->currentRow();
}

CRootFilterDlg::CRootFilterDlg(const std::string& root, const std::string& filter, QWidget* parent) : QDialog(parent)
{
    Prepare(this, 140, QStringLiteral("Folder Options"));
    m_root = Edit(1005, root, this);
    m_filter = Edit(1007, filter, this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Full path for the root folder"), this));
    layout->addWidget(m_root);
    layout->addWidget(new QLabel(QStringLiteral("Display files with extensions"), this));
    layout->addWidget(m_filter);
    layout->addWidget(new QLabel(QStringLiteral("example: .twp;.tws;.css;.html;"), this));
    layout->addWidget(OkCancel(this));
    resize(480, sizeHint().height());
}

std::string CRootFilterDlg::Root() const
{
    return FromQt(m_root->text());
}

std::string CRootFilterDlg::Filter() const
{
    return FromQt(m_filter->text());
}

CFindInFilesDlg::CFindInFilesDlg(const std::string& what, const std::string& types, const std::string& folder,
                                 QWidget* parent)
    : QDialog(parent)
{
    Prepare(this, 141, QStringLiteral("Find in Files"));
    m_what = Edit(1008, what, this);
    m_types = Edit(1009, types, this);
    m_folder = Edit(1010, folder, this);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Find &what"), m_what);
    form->addRow(QStringLiteral("In files/file &types:"), m_types);
    form->addRow(QStringLiteral("In &folder:"), m_folder);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(OkCancel(this));
    resize(480, sizeHint().height());
}

std::string CFindInFilesDlg::What() const
{
    return FromQt(m_what->text());
}

std::string CFindInFilesDlg::Types() const
{
    return FromQt(m_types->text());
}

std::string CFindInFilesDlg::Folder() const
{
    return FromQt(m_folder->text());
}

CAddWatchDlg::CAddWatchDlg(QWidget* parent) : QDialog(parent)
{
    Prepare(this, 145, QStringLiteral("Add Variable to Watch"));
    m_name = Edit(1026, "", this);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Variable Name"), m_name);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(OkCancel(this));
}

QString CAddWatchDlg::Name() const
{
    return m_name->text();
}

CGotoOffsetDlg::CGotoOffsetDlg(QWidget* parent) : QDialog(parent)
{
    Prepare(this, 149, QStringLiteral("Go To File Offset"));
    m_edit = Edit(1033, "0", this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Enter the \"offset\" value from the log file:"), this));
    layout->addWidget(m_edit);
    auto* note = new QLabel(QStringLiteral("This dialog is used to locate the position in your template or script "
                                           "file where Tarnwick Server hanged."),
                            this);
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addWidget(OkCancel(this));
}

void CGotoOffsetDlg::accept()
{
    bool ok = false;
    const long long value = m_edit->text().trimmed().toLongLong(&ok);
    if (!ok || value < 0) {
        ShowMessage(this, QStringLiteral("Please enter an integer."));
        m_edit->setFocus();
        m_edit->selectAll();
        return;
    }
    m_offset = value;
    QDialog::accept();
}

CQuickWatchDlg::CQuickWatchDlg(Mode mode, const QString& name, const QString& value, QWidget* parent)
    : QDialog(parent), m_mode(mode), m_name(name), m_value(value), m_startName(name)
{
    Prepare(this, 147, mode == kEdit ? QStringLiteral("Edit Variable Name") : QStringLiteral("Quick Watch"));
    if (mode == kQuickWatch)
        m_value = TheDebugger().IsPaused() ? ToQt(TheDebugger().GetWatchValue(FromQt(name)))
                                           : QString::fromLatin1(kOnlyWhenPaused);
    m_nameEdit = WithId(new QLineEdit(m_name, this), 1026);
    m_valueEdit = WithId(new QLineEdit(m_value, this), 1028);
    QPushButton* recalculate = Button(1029, QStringLiteral("&Recalculate"), this);
    connect(recalculate, &QPushButton::clicked, this, &CQuickWatchDlg::Recalculate);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Variable name"), m_nameEdit);
    form->addRow(QStringLiteral("Variable value"), m_valueEdit);
    auto* row = new QHBoxLayout;
    row->addWidget(recalculate);
    row->addStretch();
    row->addWidget(OkCancel(this));
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(row);
    resize(480, sizeHint().height());
}

void CQuickWatchDlg::Recalculate()
{
    if (!TheDebugger().IsPaused())
        return;
    m_name = m_nameEdit->text();
    m_value = ToQt(TheDebugger().GetWatchValue(FromQt(m_name)));
    m_valueEdit->setText(m_value);
    m_startName = m_name;
}

void CQuickWatchDlg::accept()
{
    if (m_mode == kEdit && m_nameEdit->text() != m_startName)
        Recalculate();
    m_name = m_nameEdit->text();
    m_value = m_valueEdit->text();
    QDialog::accept();
}

CFindReplaceDlg::CFindReplaceDlg(bool replace, const QString& text, const QString& replacement, bool matchCase,
                                 QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(replace ? QStringLiteral("Replace") : QStringLiteral("Find"));
    m_text = new QLineEdit(text, this);
    m_matchCase = new QCheckBox(QStringLiteral("Match &case"), this);
    m_matchCase->setChecked(matchCase);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Fi&nd what:"), m_text);
    if (replace) {
        m_replacement = new QLineEdit(replacement, this);
        form->addRow(QStringLiteral("Re&place with:"), m_replacement);
    }
    form->addRow(m_matchCase);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(replace ? QStringLiteral("&Replace") : QStringLiteral("&Find Next"),
                       QDialogButtonBox::AcceptRole);
    if (replace) {
        QPushButton* all = buttons->addButton(QStringLiteral("Replace &All"), QDialogButtonBox::ActionRole);
        connect(all, &QPushButton::clicked, this, [this] {
            m_all = true;
            accept();
        });
    }
    buttons->addButton(QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

QString CFindReplaceDlg::Text() const
{
    return m_text->text();
}

QString CFindReplaceDlg::Replacement() const
{
    return m_replacement != nullptr ? m_replacement->text() : QString();
}

bool CFindReplaceDlg::MatchCase() const
{
    return m_matchCase->isChecked();
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    Prepare(this, 100, QStringLiteral("About Tarnwick Studio"));
    auto* picture = new QLabel(this);
    picture->setPixmap(QApplication::style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(32, 32));
    auto* row = new QHBoxLayout;
    row->addWidget(picture);
    row->addWidget(new QLabel(QStringLiteral("Tarnwick Studio Version 3"), this), 1);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(Button(1, QStringLiteral("OK"), this), QDialogButtonBox::AcceptRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
}
