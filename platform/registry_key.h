// CRegistryKey: the store that holds the server settings shared by twServer, twConsole and twStudio.
// The settings are "Name=Value" lines of one text file (names compared without regard to case, values
// with "\\", "\n" and "\r" escapes; blanks around '=' and at the end of a line are no part of a name
// or value). Reads work on a snapshot taken under a shared lock; a write merges
// only the names it changes into the file as it is now, under an exclusive lock, and replaces the file
// atomically, so several programs writing at once lose nothing and no reader sees half a file.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class CRegistryKey
{
public:
    explicit CRegistryKey(std::string filePath);
    ~CRegistryKey();
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // Takes a snapshot of the file; succeeds at once when the key is open already. A missing file is
    // an empty store. False when the file exists but cannot be read (GetLastErrno says why); every
    // read and write then fails too, so nothing replaces an unreadable store.
    [[nodiscard]] bool Open();
    // Drops the snapshot, so the next Open reads the file again. Inside a batch the key closes when the
    // batch ends. Result 1.
    int Close();
    bool IsOpen() const;

    // True when the value exists (an empty value exists); false when it is missing or the key
    // cannot be opened, and then `value` keeps what it held, which is how callers supply defaults:
    // they may ignore the result, and learn of an unreadable store from Open.
    bool ReadString(std::string_view name, std::string& value);
    // Stores the value (written to the file at once outside a batch). False when the key cannot be
    // opened, the name is unusable (empty, blanks at its ends, '=', CR, LF, leading '#') or the file
    // cannot be replaced.
    [[nodiscard]] bool WriteString(std::string_view name, std::string_view value);
    // The names of the values the store holds, spelled as in the file, in the file's order, each
    // once (the first spelling of a name typed twice); empty when the key cannot be opened.
    std::vector<std::string> GetNames();

    // Writes between BeginBatch and the matching EndBatch reach the file as one replace when the
    // outermost batch ends; reads in between see them. Batches nest and are all or nothing: EndBatch
    // returns true when the file was written (or there was nothing to write), else false (a write of
    // the batch failed, or the file could not be replaced) and the batch's writes are dropped.
    void BeginBatch();
    [[nodiscard]] bool EndBatch();

    const std::string& GetPath() const { return m_path; }
    // Removes the temporary files that writers killed before their rename left beside the file
    // ("settings.conf.XXXXXX", whole copies of the settings, passwords included). It holds the
    // writers' lock meanwhile, so the file of a write in progress is never taken. Returns the
    // number removed.
    int RemoveLeftoverFiles();
    // errno of the last failure of Open, WriteString or EndBatch.
    int GetLastErrno() const;
    // That failure in words that name the settings file, for the log.
    std::string DescribeLastFailure() const;

    static std::string EscapeValue(std::string_view value);
    static std::string UnescapeValue(std::string_view text);

private:
    using Change = std::pair<std::string, std::string>;

    [[nodiscard]] bool OpenLocked();
    [[nodiscard]] bool CommitLocked(const std::vector<Change>& changes);
    void Fail(int err);

    const std::string m_path;
    mutable std::mutex m_lock;  // guards every member below
    bool m_open = false;
    int m_lastErrno = 0;
    std::unordered_map<std::string, std::string> m_values;  // snapshot, keyed by lower-cased name
    std::vector<std::string> m_names;                       // the snapshot's names, see GetNames
    int m_batchDepth = 0;
    bool m_batchFailed = false;
    bool m_closeAfterBatch = false;
    std::vector<Change> m_pending;  // writes of the open batch, in order
};

// The settings file of this installation: TW_SETTINGS_FILE when set and not empty, else
// "<install>/etc/settings.conf".
std::string GetSettingsFilePath();

// Opens a batch on construction; Commit ends it and reports the result, the destructor ends it when
// Commit was not called (an early return still writes what the batch collected).
class CRegistryBatch
{
public:
    explicit CRegistryBatch(CRegistryKey& key) : m_key(key) { m_key.BeginBatch(); }
    // Only an exception or an early return skips Commit; the caller reports its own failure there,
    // and a destructor has nobody to tell whether the partial batch reached the file.
    ~CRegistryBatch()
    {
        if (!m_ended)
            static_cast<void>(m_key.EndBatch());
    }
    CRegistryBatch(const CRegistryBatch&) = delete;
    CRegistryBatch& operator=(const CRegistryBatch&) = delete;
    // A write of the batch: a failed one fails the whole batch, which Commit reports, so the
    // single write's result tells the caller nothing more.
    void Write(std::string_view name, std::string_view value) { static_cast<void>(m_key.WriteString(name, value)); }
    [[nodiscard]] bool Commit()
    {
        m_ended = true;
        return m_key.EndBatch();
    }

private:
    CRegistryKey& m_key;
    bool m_ended = false;
};
