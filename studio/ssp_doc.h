// CSspDoc: one open file of the editor, as the studio keeps it apart from its window: the path
// (empty for a new file that was never saved), the title, and how the file's bytes become the
// editor's text and back. A file is loaded and saved as it is: text that is not valid UTF-8 is
// kept byte for byte as Latin-1 characters, and a file that ends its lines with CR LF gets them
// back on saving; the editor itself works with line feeds.
#pragma once

#include <string>

#include <QString>

class CSspDoc
{
public:
    // A new document, titled "twp<number>" until it is saved.
    explicit CSspDoc(int newNumber);

    // Reads the file; false with a reason when it cannot be read.
    bool Load(const std::string& path, QString& text, std::string& error);
    // Writes the text as the file's bytes (replacing it whole) and makes that the path; false with
    // a reason when it cannot be written.
    bool Save(const std::string& path, const QString& text, std::string& error);

    const std::string& GetPath() const { return m_path; }
    const QString& GetTitle() const { return m_title; }
    // The text after the last '.' of the path, lower-cased, without the dot; empty without '.'.
    std::string GetExtension() const;
    // The character index in the text of byte offset `offset` of the file.
    qsizetype PositionOfByteOffset(const QString& text, long long offset) const;

private:
    std::string m_path;
    QString m_title;
    bool m_crlf = false;    // lines end with CR LF in the file
    bool m_latin1 = false;  // the file is not UTF-8: one character per byte
};
