// CSspDoc: one open file of the editor, as the studio keeps it apart from its window: the path
// (empty for a new file that was never saved), the title, and how the file's bytes become the
// editor's lines and back (CFileText): lines that the developer did not change are saved with the
// bytes and line ends they were read with, changed lines in the file's encoding.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <QString>
#include <QStringList>

#include "studio/file_text.h"

class CSspDoc
{
public:
    // Asked before a save writes changed lines in UTF-8 into a Latin-1 file, because they hold
    // characters that Latin-1 cannot (their numbers, 1-based); false cancels the save.
    using ConfirmForeignLines = std::function<bool(const std::vector<int>& lines)>;

    // A new document, titled "twp<number>" until it is saved.
    explicit CSspDoc(int newNumber);

    // Reads the file; false with a reason when it cannot be read.
    [[nodiscard]] bool Load(const std::string& path, QString& text, std::string& error);
    // Writes the editor's lines (one entry per line) as the file (replacing it whole) and makes that
    // the path. False with a reason when it cannot be written, and false with no reason when
    // `confirm` cancelled it.
    [[nodiscard]] bool Save(const std::string& path, const QStringList& lines, const ConfirmForeignLines& confirm,
                            std::string& error);

    const std::string& GetPath() const { return m_path; }
    const QString& GetTitle() const { return m_title; }
    // The text after the last '.' of the path, lower-cased, without the dot; empty without '.'.
    std::string GetExtension() const;
    // The line (from 0) and character column of a byte offset of the file (the engine counts
    // bytes) as it was last loaded or saved.
    std::pair<int, qsizetype> LineAndColumnOfByteOffset(long long offset) const
    {
        return m_text.LineAndColumnOfByteOffset(offset);
    }

private:
    std::string m_path;
    QString m_title;
    CFileText m_text;
};
