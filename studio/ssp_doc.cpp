#include "studio/ssp_doc.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "foundation/ascii_text.h"

CSspDoc::CSspDoc(int newNumber) : m_title(QStringLiteral("twp%1").arg(newNumber))
{}

std::string CSspDoc::GetExtension() const
{
    const std::size_t dot = m_path.rfind('.');
    const std::size_t slash = m_path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return "";
    return LowerAscii(std::string_view(m_path).substr(dot + 1));
}

bool CSspDoc::Load(const std::string& path, QString& text, std::string& error)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString().toStdString();
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        error = file.errorString().toStdString();
        return false;
    }
    m_text.Read(bytes);
    text = m_text.Text();
    m_path = path;
    m_title = QFileInfo(file).fileName();
    return true;
}

bool CSspDoc::Save(const std::string& path, const QStringList& lines, const ConfirmForeignLines& confirm,
                   std::string& error)
{
    CFileText::Encoded encoded = m_text.Encode(lines);
    if (!encoded.foreignLines.empty() && confirm && !confirm(encoded.foreignLines)) {
        error.clear();
        return false;
    }
    // Written whole beside the file and renamed over it, so a failed write never leaves it cut.
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly) || file.write(encoded.bytes) != encoded.bytes.size() || !file.commit()) {
        error = file.errorString().toStdString();
        return false;
    }
    m_text.Commit(std::move(encoded));
    m_path = path;
    m_title = QFileInfo(QString::fromStdString(path)).fileName();
    return true;
}
