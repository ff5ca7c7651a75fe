#include "studio/ssp_doc.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

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
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    text = decoder.decode(bytes);
    m_latin1 = decoder.hasError();
    if (m_latin1)
        text = QString::fromLatin1(bytes);
    m_crlf = bytes.contains("\r\n");
    if (m_crlf)
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_path = path;
    m_title = QFileInfo(file).fileName();
    return true;
}

bool CSspDoc::Save(const std::string& path, const QString& text, std::string& error)
{
    QString lines = text;
    if (m_crlf)
        lines.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    // A character that Latin-1 cannot hold, typed into such a file, makes it a UTF-8 file.
    bool latin1 = m_latin1;
    for (QChar c : lines) {
        if (c.unicode() > 0xFF) {
            latin1 = false;
            break;
        }
    }
    const QByteArray bytes = latin1 ? lines.toLatin1() : lines.toUtf8();
    // Written whole beside the file and renamed over it, so a failed write never leaves it cut.
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        error = file.errorString().toStdString();
        return false;
    }
    m_latin1 = latin1;
    m_path = path;
    m_title = QFileInfo(QString::fromStdString(path)).fileName();
    return true;
}

namespace {

// The bytes one character of the editor's text takes in the file. A surrogate pair takes four,
// two for each half.
std::size_t CharacterBytes(char16_t c, bool crlf, bool latin1)
{
    if (c == u'\n')
        return crlf ? 2 : 1;
    if (latin1 || c < 0x80)
        return 1;
    if (c < 0x800 || QChar::isSurrogate(c))
        return 2;
    return 3;
}

}  // namespace

qsizetype CSspDoc::PositionOfByteOffset(const QString& text, long long offset) const
{
    long long bytes = 0;
    qsizetype i = 0;
    for (; i < text.size(); ++i) {
        bytes += static_cast<long long>(CharacterBytes(text.at(i).unicode(), m_crlf, m_latin1));
        if (bytes > offset)
            break;
    }
    return i;
}
