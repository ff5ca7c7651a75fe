// CFileText: the lines of one text file, as the editor shows them and as the file holds them. A
// file's bytes need not be in one encoding: a page may hold UTF-8 text and one stray Latin-1 byte,
// or be Latin-1 throughout. So each line keeps the bytes it was read from and its own line end
// (LF, CR LF or CR), and a save writes every line whose text the developer left as it was with
// exactly those bytes; only lines whose text changed are encoded anew, in the file's encoding.
// The editor document (CSspDoc) owns one.
#pragma once

#include <utility>
#include <vector>

#include <QByteArray>
#include <QString>
#include <QStringList>

class CFileText
{
public:
    // A file that is valid UTF-8, or mostly UTF-8 with a few stray bytes, is a UTF-8 file; one
    // whose bytes above 127 are mostly not UTF-8 is a Latin-1 (ISO 8859-1) file.
    enum class Encoding
    {
        kUtf8,
        kLatin1
    };

    struct Line
    {
        QByteArray bytes;  // the line in the file, without its end
        QByteArray end;    // its line end; empty for the file's last line
        QString text;      // what the editor shows
    };

    // What a save writes.
    struct Encoded
    {
        QByteArray bytes;
        // The file's lines once the bytes are written.
        std::vector<Line> lines;
        // Changed lines (1-based) with characters that the file's encoding cannot hold; they are
        // encoded in UTF-8.
        std::vector<int> foreignLines;
    };

    // Splits and decodes a file's bytes; the encoding and the line end of new lines are the file's.
    void Read(const QByteArray& bytes);
    // The lines' texts joined with line feeds, for the editor.
    QString Text() const;
    Encoding GetEncoding() const { return m_encoding; }

    // The bytes for the editor's lines (one entry per line): a line whose text equals a line of
    // the file keeps that line's bytes and line end; any other line is encoded in the file's
    // encoding and ends with the file's most common line end.
    Encoded Encode(const QStringList& lines) const;
    // The encoded bytes have been written: they are the file's lines from now on.
    void Commit(Encoded encoded);

    // The line (from 0) and character column of a byte offset into the file as last read or
    // written; an offset past the end gives the end of the last line.
    std::pair<int, qsizetype> LineAndColumnOfByteOffset(long long offset) const;

private:
    void AddLine(const QByteArray& bytes, const QByteArray& end);
    bool DecodesAsLatin1(const QByteArray& bytes) const;
    // For each of the editor's lines, the file line whose bytes it keeps, or -1.
    std::vector<int> MatchLines(const QStringList& lines) const;
    QByteArray EncodeLine(const QString& text, bool& foreign) const;

    std::vector<Line> m_lines;
    Encoding m_encoding = Encoding::kUtf8;
    QByteArray m_lineEnd = "\n";
};
